// Runs a fuzz target's entry once over every file of the directories named on the command line,
// so that gcc builds replay the seed corpus as an ordinary test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    DIR* d = opendir(argv[i]);
    if (!d) {
      fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    closedir(d);
  }
  return 0;
}
