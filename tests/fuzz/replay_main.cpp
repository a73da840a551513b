// Runs a fuzz target's entry once over every file named on the command line (or every file of
// a named directory), so that gcc builds replay the seed corpus as an ordinary test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replayFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "missing %s\n", argv[i]);
      ++failures;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* d = opendir(argv[i]);
      while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.') continue;
        failures += replayFile(std::string(argv[i]) + "/" + e->d_name);
        ++runs;
      }
      if (d) closedir(d);
    } else {
      failures += replayFile(argv[i]);
      ++runs;
    }
  }
  printf("replayed %d inputs\n", runs);
  return failures ? 1 : 0;
}
