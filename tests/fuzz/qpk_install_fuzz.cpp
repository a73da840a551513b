// Fuzzes the stream installer into a temporary root: whatever the bytes, nothing is written
// outside the root, and no temporary file is left after the call.
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "qpk_format.h"

namespace {

bool sawTemp = false;

int removeEntry(const char* path, const struct stat*, int flag, struct FTW*) {
  sawTemp |= strstr(path, ".qpk-tmp.") != nullptr;
  if (flag == FTW_DP) chmod(path, 0700);
  return remove(path) == 0 ? 0 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The root sits in "outside", which must be empty again once the root is gone: "../x" from
  // the root lands there. Each input gets a fresh directory, removed with everything in it.
  char base[] = "/tmp/qpk-install-fuzz.XXXXXX";
  if (!mkdtemp(base)) abort();
  std::string outside = std::string(base) + "/outside", root = outside + "/root";
  if (mkdir(outside.c_str(), 0755) != 0 || mkdir(root.c_str(), 0755) != 0) abort();
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::stringbuf in(std::string(reinterpret_cast<const char*>(data), size), std::ios::in);
  std::map<std::string, bool> installed;
  std::string error;
  int count = installPackageStream(rootFd, in, kInstallReplaceFiles, installed, error);
  close(rootFd);
  if (count < 0 && error.empty()) abort();
  sawTemp = false;
  if (nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 || sawTemp) abort();
  if (rmdir(outside.c_str()) != 0 || rmdir(base) != 0) abort();
  return 0;
}
