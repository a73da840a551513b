// Runs a fuzz target's entry once over every file named on the command line (or every file of
// a named directory), so that gcc builds replay the seed corpus as an ordinary test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool replay(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return false;
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  int failures = 0, runs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::string> paths;
    if (DIR* d = opendir(argv[i])) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') paths.push_back(std::string(argv[i]) + "/" + e->d_name);
      }
      closedir(d);
    } else {
      paths.push_back(argv[i]);
    }
    for (const std::string& path : paths) {
      bool read = replay(path);
      if (!read) fprintf(stderr, "cannot read %s\n", path.c_str());
      failures += !read;
      runs += read;
    }
  }
  printf("replayed %d inputs\n", runs);
  return failures ? 1 : 0;
}
