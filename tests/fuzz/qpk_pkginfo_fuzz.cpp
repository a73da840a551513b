// Fuzzes the .PKGINFO parser: any text either parses into a valid name and version that
// survive a format-and-parse round trip, or is refused with a reason.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "qpk_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PackageInfo info;
  std::string error;
  if (!parsePkgInfo(reinterpret_cast<const char*>(data), size, info, error)) {
    if (error.empty()) abort();
    return 0;
  }
  if (!isValidPackageName(info.name) || info.version.empty()) abort();
  std::string text = formatPkgInfo(info);
  PackageInfo again;
  if (!parsePkgInfo(text.data(), text.size(), again, error)) abort();
  if (formatPkgInfo(again) != text || again.getFullName() != info.getFullName()) abort();
  return 0;
}
