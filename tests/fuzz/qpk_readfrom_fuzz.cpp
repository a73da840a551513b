// Fuzzes PackageFile::readFrom on arbitrary file contents: it must never crash, and a package
// it accepts has a valid name and keeps the path it was given.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "libinstall.h"
#include "qpk_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A file in memory, reached by path as the catalogue reaches a package.
  int fd = memfd_create("qpk", 0);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  PackageFile package;
  bool ok = package.readFrom(path);
  close(fd);
  if (package.path != path) abort();
  if (ok && !isValidPackageName(package.name)) abort();
  if (!ok && !package.getFullName().empty()) abort();
  return 0;
}
