// Fuzzes the stream installer into a temporary root: whatever the bytes, nothing is written
// outside the root, and no temporary file is left after the call.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "qpk_format.h"

namespace {

std::string base;  // holds "root" (install target) and "outside" (must stay empty)
bool sawTemp = false;

int removeEntry(const char* path, const struct stat*, int flag, struct FTW*) {
  if (strstr(path, ".qpk-tmp.")) sawTemp = true;
  if (flag == FTW_DP) {
    chmod(path, 0700);
    rmdir(path);
  } else {
    unlink(path);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (base.empty()) {
    char pattern[] = "/tmp/qpk-install-fuzz.XXXXXX";
    if (!mkdtemp(pattern)) abort();
    base = pattern;
    // The root sits two levels down so that "../x" from it lands in "outside".
    if (mkdir((base + "/outside").c_str(), 0755) != 0) abort();
    atexit([] {
      rmdir((base + "/outside").c_str());
      rmdir(base.c_str());
    });
  }
  std::string root = base + "/outside/root";
  if (mkdir(root.c_str(), 0755) != 0) abort();
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  if (rootFd < 0) abort();
  std::stringbuf in(std::string(reinterpret_cast<const char*>(data), size), std::ios::in);
  std::map<std::string, bool> installed;
  std::string error;
  int count = installPackageStream(rootFd, in, kInstallReplaceFiles, installed, error);
  close(rootFd);
  if (count < 0 && error.empty()) abort();
  sawTemp = false;
  nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (sawTemp) abort();
  // With the root gone, "outside" must be empty: anything there escaped the root.
  std::string outside = base + "/outside";
  if (rmdir(outside.c_str()) != 0) abort();
  if (mkdir(outside.c_str(), 0755) != 0) abort();
  return 0;
}
