// PackageFile::readFrom: the metadata of a package file, read no further than its .PKGINFO so
// that a catalogue of hundreds of packages scans quickly.
#include <fstream>

#include "package_reader.h"
#include "qpk_format.h"

namespace {

// .PKGINFO sits at the start: small pieces avoid reading much more than it.
constexpr size_t kScanPieceSize = 4096;
constexpr size_t kScanInflateSize = 16 * 1024;

bool readPkgInfo(std::streambuf& in, PackageInfo& info) {
  GzipStream gz;
  if (!gzipOpen(gz, in, kScanPieceSize)) return false;
  uint8_t* buffer = new (std::nothrow) uint8_t[kScanInflateSize];
  bool ok = false;
  std::string error;
  if (buffer && gzipBeginMember(gz, error) == 1) {
    MemberReader member;
    member.gz = &gz;
    member.buffer = buffer;
    member.capacity = kScanInflateSize;
    uint8_t block[kTarBlockSize];
    TarEntry entry;
    // Skip entries for the root directory ("./") as the installer does.
    for (;;) {
      if (!memberRead(member, block, sizeof block, error) || isZeroBlock(block) ||
          !decodeTarHeader(block, entry, error)) {
        break;
      }
      std::string clean;
      if (!normalizeEntryPath(entry.path, clean, error)) break;
      if (clean.empty() && entry.type == kTarDirectory && entry.size == 0) continue;
      if (clean == kPkgInfoName && entry.type == kTarRegular && entry.size <= kMaxPkgInfoSize) {
        std::string text(static_cast<size_t>(entry.size), '\0');
        ok = memberRead(member, reinterpret_cast<uint8_t*>(&text[0]), text.size(), error) &&
             parsePkgInfo(text.data(), text.size(), info, error);
      }
      break;
    }
  }
  delete[] buffer;
  gzipClose(gz);
  return ok;
}

}  // namespace

bool PackageFile::readFrom(std::string const& filePath) {
  path = filePath;
  PackageInfo& info = *this;
  info = PackageInfo();
  std::filebuf file;
  if (!file.open(filePath, std::ios::in | std::ios::binary)) return false;
  PackageInfo read;
  bool ok = readPkgInfo(file, read);
  file.close();
  if (ok) info = read;
  return ok;
}
