// The streaming package reader: walks each gzip member's ustar archive, checks every entry
// (paths, links, conflicts inside the package) and hands it to a PackageSink, which commits a
// package only after the member's trailer has been verified.
#include "package_reader.h"

#include <stdlib.h>
#include <string.h>

#include <unordered_map>

#include "qpk_format.h"

namespace {

constexpr size_t kStreamPieceSize = 64 * 1024;     // compressed bytes read per call
constexpr size_t kInflateBufferSize = 256 * 1024;  // decompressed bytes per inflate call
constexpr size_t kMaxNameLength = 255;

// What an earlier entry of the same package put at a path.
enum class PathKind : char { kDirectory, kRegular, kOther };

}  // namespace

bool normalizeEntryPath(const std::string& raw, std::string& clean, std::string& error) {
  clean.clear();
  if (raw.empty()) {
    error = "empty path";
    return false;
  }
  if (raw[0] == '/') {
    error = "absolute path";
    return false;
  }
  size_t start = 0;
  while (start <= raw.size()) {
    size_t slash = raw.find('/', start);
    if (slash == std::string::npos) slash = raw.size();
    size_t length = slash - start;
    const char* part = raw.data() + start;
    start = slash + 1;
    if (length == 0 || (length == 1 && part[0] == '.')) continue;
    if (length == 2 && part[0] == '.' && part[1] == '.') {
      error = "path leaves the root ('..')";
      return false;
    }
    if (length > kMaxNameLength) {
      error = "name too long";
      return false;
    }
    for (size_t i = 0; i < length; ++i) {
      unsigned char c = static_cast<unsigned char>(part[i]);
      if (c < 0x20 || c == 0x7f) {
        error = "control character in path";
        return false;
      }
    }
    if (!clean.empty()) clean += '/';
    clean.append(part, length);
  }
  return true;
}

long memberTake(MemberReader& reader, size_t max, const uint8_t** data, std::string& error) {
  if (reader.position == reader.length) {
    if (reader.ended) return 0;
    long got = gzipRead(*reader.gz, reader.buffer, reader.capacity, error);
    if (got < 0) return -1;
    if (got == 0) {
      reader.ended = true;
      return 0;
    }
    reader.position = 0;
    reader.length = static_cast<size_t>(got);
  }
  size_t available = reader.length - reader.position;
  size_t n = available < max ? available : max;
  *data = reader.buffer + reader.position;
  reader.position += n;
  return static_cast<long>(n);
}

bool memberRead(MemberReader& reader, uint8_t* out, size_t length, std::string& error) {
  while (length > 0) {
    const uint8_t* data = nullptr;
    long n = memberTake(reader, length, &data, error);
    if (n < 0) return false;
    if (n == 0) {
      error = "truncated package: the archive ends inside an entry";
      return false;
    }
    memcpy(out, data, static_cast<size_t>(n));
    out += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool memberSkip(MemberReader& reader, uint64_t length, std::string& error) {
  while (length > 0) {
    const uint8_t* data = nullptr;
    size_t want = length > kInflateBufferSize ? kInflateBufferSize : static_cast<size_t>(length);
    long n = memberTake(reader, want, &data, error);
    if (n < 0) return false;
    if (n == 0) {
      error = "truncated package: the archive ends inside an entry";
      return false;
    }
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

namespace {

uint64_t paddingOf(uint64_t size) {
  return (kTarBlockSize - size % kTarBlockSize) % kTarBlockSize;
}

// State of the package being read.
struct PackageState {
  PackageSink* sink = nullptr;
  bool begun = false;  // beginPackage was called
  std::string label;   // how messages name the package
  std::unordered_map<std::string, PathKind> paths;
};

const char* kindText(PathKind kind) {
  return kind == PathKind::kRegular ? "a file" : "a symlink or special file";
}

// Checks an entry against the earlier entries of its package and records it. False with a
// reason in `error`.
bool checkAgainstPackage(PackageState& state, TarEntry& entry, std::string& error) {
  // Every parent must be a directory as far as this package knows: a symlink the package made a
  // moment ago is never written through.
  for (size_t slash = entry.path.find('/'); slash != std::string::npos;
       slash = entry.path.find('/', slash + 1)) {
    std::string parent = entry.path.substr(0, slash);
    auto found = state.paths.find(parent);
    if (found == state.paths.end()) {
      state.paths.emplace(parent, PathKind::kDirectory);
    } else if (found->second != PathKind::kDirectory) {
      error = "parent '" + parent + "' is " + kindText(found->second) +
              " of this package; nothing is written through it";
      return false;
    }
  }
  PathKind kind = entry.type == kTarDirectory                                 ? PathKind::kDirectory
                  : (entry.type == kTarRegular || entry.type == kTarHardLink) ? PathKind::kRegular
                                                                              : PathKind::kOther;
  if (entry.type == kTarHardLink) {
    std::string target, why;
    if (!normalizeEntryPath(entry.linkTarget, target, why)) {
      error = "hard link target '" + entry.linkTarget + "': " + why;
      return false;
    }
    auto found = state.paths.find(target);
    if (target == entry.path || found == state.paths.end() || found->second != PathKind::kRegular) {
      error = "hard link to '" + entry.linkTarget +
              "', which is not an earlier regular file of this package";
      return false;
    }
    entry.linkTarget = target;
  }
  if (entry.type == kTarSymlink && entry.linkTarget.empty()) {
    error = "symlink with an empty target";
    return false;
  }
  auto found = state.paths.find(entry.path);
  if (found != state.paths.end()) {
    bool wasDirectory = found->second == PathKind::kDirectory;
    if (wasDirectory != (kind == PathKind::kDirectory)) {
      error = wasDirectory ? "replaces a directory of this package"
                           : "directory replaces an earlier entry of this package";
      return false;
    }
  }
  state.paths[entry.path] = kind;
  return true;
}

// Reads one member: .PKGINFO, the entries, the end of archive and the trailer; commits.
bool readPackage(MemberReader& member, PackageState& state, std::string& error) {
  uint8_t block[kTarBlockSize];
  TarEntry entry;
  std::string why;
  // Entries for the root directory itself ("./" from tar -C dir .) carry nothing; skip them.
  for (;;) {
    if (!memberRead(member, block, sizeof block, why)) {
      error = state.label + ": " + why;
      return false;
    }
    if (isZeroBlock(block)) {
      error = state.label + ": not a package: no .PKGINFO";
      return false;
    }
    if (!decodeTarHeader(block, entry, why)) {
      error = state.label + ": not a package: " + why;
      return false;
    }
    std::string clean;
    if (normalizeEntryPath(entry.path, clean, why) && clean.empty() &&
        entry.type == kTarDirectory) {
      continue;
    }
    if (clean != kPkgInfoName || entry.type != kTarRegular) {
      error = state.label + ": not a package: the first entry is not " + kPkgInfoName;
      return false;
    }
    break;
  }
  if (entry.size > kMaxPkgInfoSize) {
    error = state.label + ": .PKGINFO is too large";
    return false;
  }
  std::string text(static_cast<size_t>(entry.size), '\0');
  if (!memberRead(member, reinterpret_cast<uint8_t*>(&text[0]), text.size(), why) ||
      !memberSkip(member, paddingOf(entry.size), why)) {
    error = state.label + ": " + why;
    return false;
  }
  PackageInfo info;
  if (!parsePkgInfo(text.data(), text.size(), info, why)) {
    error = state.label + ": " + why;
    return false;
  }
  state.label = info.getFullName();
  state.begun = true;
  if (!state.sink->beginPackage(info, text)) {
    error = state.label + ": " + state.sink->message;
    return false;
  }
  for (;;) {
    if (!memberRead(member, block, sizeof block, why)) {
      error = state.label + ": " + why;
      return false;
    }
    if (isZeroBlock(block)) break;
    if (!decodeTarHeader(block, entry, why)) {
      error = state.label + ": " + why;
      return false;
    }
    std::string raw = entry.path;
    std::string clean;
    if (!normalizeEntryPath(raw, clean, why)) {
      error = state.label + ": '" + raw + "': " + why;
      return false;
    }
    uint64_t dataSize = entry.size;
    if (entry.type != kTarRegular) entry.size = 0;
    if (clean.empty()) {
      if (entry.type != kTarDirectory) {
        error = state.label + ": '" + raw + "': entry for the root itself";
        return false;
      }
      if (!memberSkip(member, dataSize + paddingOf(dataSize), why)) {
        error = state.label + ": " + why;
        return false;
      }
      continue;
    }
    entry.path = clean;
    if (clean.compare(0, strlen(kPackageDbDir) + 1, std::string(kPackageDbDir) + "/") == 0) {
      error = state.label + ": '" + raw + "': path inside the package records";
      return false;
    }
    std::string records = kPackageDbDir;
    if (entry.type != kTarDirectory &&
        (clean == records || records.compare(0, clean.size() + 1, clean + "/") == 0)) {
      error = state.label + ": '" + raw + "': would replace the directory of the package records";
      return false;
    }
    if (!checkAgainstPackage(state, entry, why)) {
      error = state.label + ": '" + raw + "': " + why;
      return false;
    }
    if (!state.sink->beginEntry(entry)) {
      error = state.label + ": '" + raw + "': " + state.sink->message;
      return false;
    }
    uint64_t left = entry.size;
    while (left > 0) {
      const uint8_t* data = nullptr;
      size_t want = left > kInflateBufferSize ? kInflateBufferSize : static_cast<size_t>(left);
      long n = memberTake(member, want, &data, why);
      if (n <= 0) {
        if (n == 0) why = "truncated package: the archive ends inside this file";
        error = state.label + ": '" + raw + "': " + why;
        return false;
      }
      if (!state.sink->entryData(data, static_cast<size_t>(n))) {
        error = state.label + ": '" + raw + "': " + state.sink->message;
        return false;
      }
      left -= static_cast<uint64_t>(n);
    }
    if (!state.sink->endEntry()) {
      error = state.label + ": '" + raw + "': " + state.sink->message;
      return false;
    }
    uint64_t skip = (dataSize - entry.size) + paddingOf(dataSize);
    if (!memberSkip(member, skip, why)) {
      error = state.label + ": '" + raw + "': " + why;
      return false;
    }
  }
  // Whatever follows the end of the archive (tar's record padding) is read to reach the trailer.
  for (;;) {
    const uint8_t* data = nullptr;
    long n = memberTake(member, kInflateBufferSize, &data, why);
    if (n < 0) {
      error = state.label + ": " + why;
      return false;
    }
    if (n == 0) break;
  }
  if (!state.sink->commitPackage()) {
    error = state.label + ": " + state.sink->message;
    return false;
  }
  return true;
}

}  // namespace

int readPackageStream(std::streambuf& in, PackageSink& sink, std::string& error) {
  GzipStream gz;
  if (!gzipOpen(gz, in, kStreamPieceSize)) {
    error = "out of memory";
    return -1;
  }
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kInflateBufferSize));
  if (!buffer) {
    gzipClose(gz);
    error = "out of memory";
    return -1;
  }
  int committed = 0;
  bool failed = false;
  for (int index = 1;; ++index) {
    PackageState state;
    state.sink = &sink;
    state.label = "package " + std::to_string(index) + " of the stream";
    std::string why;
    int begun = gzipBeginMember(gz, why);
    if (begun == 0) break;
    if (begun < 0) {
      error = state.label + ": " + why;
      failed = true;
      break;
    }
    MemberReader member;
    member.gz = &gz;
    member.buffer = buffer;
    member.capacity = kInflateBufferSize;
    sink.message.clear();
    if (!readPackage(member, state, error)) {
      if (state.begun) sink.abortPackage();
      failed = true;
      break;
    }
    ++committed;
  }
  free(buffer);
  gzipClose(gz);
  return failed ? -1 : committed;
}
