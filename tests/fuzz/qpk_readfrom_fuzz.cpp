// Fuzzes PackageFile::readFrom on arbitrary file contents: it must never crash, and a package
// it accepts has a valid name and keeps the path it was given.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "libinstall.h"
#include "qpk_format.h"

namespace {

std::string path;  // the scratch file, removed at exit

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (path.empty()) {
    char pattern[] = "/tmp/qpk-readfrom-fuzz.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) abort();
    close(fd);
    path = pattern;
    atexit([] { unlink(path.c_str()); });
  }
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
  PackageFile package;
  bool ok = package.readFrom(path);
  if (package.path != path) abort();
  if (ok && !isValidPackageName(package.name)) abort();
  if (!ok && !package.getFullName().empty()) abort();
  return 0;
}
