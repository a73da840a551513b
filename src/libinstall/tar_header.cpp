// ustar header blocks: encoding for the package writer, decoding with checksum and field checks
// for the reader. Numbers are octal text, or base-256 when a value does not fit (GNU tar's way).
#include <string.h>

#include "qpk_format.h"

namespace {

// Field offsets and widths of the ustar header.
constexpr size_t kNameOffset = 0, kNameSize = 100;
constexpr size_t kModeOffset = 100, kModeSize = 8;
constexpr size_t kUidOffset = 108, kUidSize = 8;
constexpr size_t kGidOffset = 116, kGidSize = 8;
constexpr size_t kSizeOffset = 124, kSizeSize = 12;
constexpr size_t kMtimeOffset = 136, kMtimeSize = 12;
constexpr size_t kChecksumOffset = 148, kChecksumSize = 8;
constexpr size_t kTypeOffset = 156;
constexpr size_t kLinkOffset = 157, kLinkSize = 100;
constexpr size_t kMagicOffset = 257;
constexpr size_t kDevMajorOffset = 329, kDevMajorSize = 8;
constexpr size_t kDevMinorOffset = 337, kDevMinorSize = 8;
constexpr size_t kPrefixOffset = 345, kPrefixSize = 155;

const char kUstarMagic[8] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};
const char kGnuMagic[8] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};

// Writes `value` as octal digits filling width-1 bytes plus NUL, or base-256 when it does not fit.
void putNumber(uint8_t* field, size_t width, int64_t value) {
  uint64_t limit = 1;
  for (size_t i = 0; i + 1 < width; ++i) limit *= 8;
  if (value >= 0 && static_cast<uint64_t>(value) < limit) {
    uint64_t v = static_cast<uint64_t>(value);
    for (size_t i = width - 1; i-- > 0;) {
      field[i] = static_cast<uint8_t>('0' + (v & 7));
      v >>= 3;
    }
    field[width - 1] = 0;
    return;
  }
  uint64_t v = static_cast<uint64_t>(value);
  for (size_t i = width; i-- > 1;) {
    field[i] = static_cast<uint8_t>(v & 0xff);
    v = value < 0 ? (v >> 8) | (0xffull << 56) : v >> 8;
  }
  field[0] = value < 0 ? 0xff : 0x80;
}

// Reads an octal (NUL/space terminated, leading spaces allowed) or base-256 field.
bool getNumber(const uint8_t* field, size_t width, int64_t& value) {
  if (field[0] & 0x80) {
    bool negative = field[0] == 0xff;
    if (!negative && field[0] != 0x80) return false;
    uint64_t v = negative ? ~0ull : 0;
    for (size_t i = 1; i < width; ++i) {
      if (!negative && (v >> 56) != 0) return false;
      if (negative && (v >> 56) != 0xff) return false;
      v = (v << 8) | field[i];
    }
    value = static_cast<int64_t>(v);
    if (negative != (value < 0)) return false;
    return true;
  }
  size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  uint64_t v = 0;
  size_t digits = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
    if (v >> 60) return false;
    v = v * 8 + (field[i] - '0');
  }
  // What follows the digits may only be terminators.
  for (; i < width; ++i) {
    if (field[i] != ' ' && field[i] != 0) return false;
  }
  value = static_cast<int64_t>(v);
  return digits > 0 || field[0] == 0;
}

std::string fieldText(const uint8_t* field, size_t width) {
  const void* nul = memchr(field, 0, width);
  size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : width;
  return std::string(reinterpret_cast<const char*>(field), length);
}

uint32_t checksumOf(const uint8_t* block, bool signedBytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < kTarBlockSize; ++i) {
    if (i >= kChecksumOffset && i < kChecksumOffset + kChecksumSize) {
      sum += ' ';
    } else if (signedBytes) {
      sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(block[i])));
    } else {
      sum += block[i];
    }
  }
  return sum;
}

}  // namespace

bool isZeroBlock(const uint8_t block[kTarBlockSize]) {
  for (size_t i = 0; i < kTarBlockSize; ++i) {
    if (block[i]) return false;
  }
  return true;
}

bool encodeTarHeader(const TarEntry& entry, uint8_t block[kTarBlockSize]) {
  memset(block, 0, kTarBlockSize);
  std::string path = entry.path;
  if (entry.type == kTarDirectory && !path.empty() && path.back() != '/') path += '/';
  if (path.empty() || entry.linkTarget.size() > kLinkSize) return false;
  if (path.size() <= kNameSize) {
    memcpy(block + kNameOffset, path.data(), path.size());
  } else {
    // Split at a slash so that the prefix and the name each fit.
    size_t split = std::string::npos;
    for (size_t i = path.size() - 1; i > 0; --i) {
      if (path[i] != '/') continue;
      if (i <= kPrefixSize && path.size() - i - 1 <= kNameSize && path.size() - i - 1 > 0) {
        split = i;
        break;
      }
    }
    if (split == std::string::npos) return false;
    memcpy(block + kPrefixOffset, path.data(), split);
    memcpy(block + kNameOffset, path.data() + split + 1, path.size() - split - 1);
  }
  putNumber(block + kModeOffset, kModeSize, entry.mode & 07777);
  putNumber(block + kUidOffset, kUidSize, entry.uid);
  putNumber(block + kGidOffset, kGidSize, entry.gid);
  putNumber(block + kSizeOffset, kSizeSize, static_cast<int64_t>(entry.size));
  putNumber(block + kMtimeOffset, kMtimeSize, entry.mtime);
  block[kTypeOffset] = static_cast<uint8_t>(entry.type);
  memcpy(block + kLinkOffset, entry.linkTarget.data(), entry.linkTarget.size());
  memcpy(block + kMagicOffset, kUstarMagic, sizeof kUstarMagic);
  if (entry.type == kTarCharDevice || entry.type == kTarBlockDevice) {
    putNumber(block + kDevMajorOffset, kDevMajorSize, entry.devMajor);
    putNumber(block + kDevMinorOffset, kDevMinorSize, entry.devMinor);
  }
  uint32_t sum = checksumOf(block, false);
  for (size_t i = 6; i-- > 0;) {
    block[kChecksumOffset + i] = static_cast<uint8_t>('0' + (sum & 7));
    sum >>= 3;
  }
  block[kChecksumOffset + 6] = 0;
  block[kChecksumOffset + 7] = ' ';
  return true;
}

bool decodeTarHeader(const uint8_t block[kTarBlockSize], TarEntry& entry, std::string& error) {
  entry = TarEntry();
  int64_t stored = 0;
  if (!getNumber(block + kChecksumOffset, kChecksumSize, stored) ||
      (static_cast<uint32_t>(stored) != checksumOf(block, false) &&
       static_cast<uint32_t>(stored) != checksumOf(block, true))) {
    error = "bad tar header checksum";
    return false;
  }
  bool ustar = memcmp(block + kMagicOffset, kUstarMagic, sizeof kUstarMagic) == 0;
  bool gnu = memcmp(block + kMagicOffset, kGnuMagic, sizeof kGnuMagic) == 0;
  // POSIX says version "00"; some writers put spaces there.
  if (!ustar && memcmp(block + kMagicOffset, "ustar\0", 6) == 0) ustar = true;
  if (!ustar && !gnu) {
    error = "not a ustar header";
    return false;
  }
  entry.type = static_cast<char>(block[kTypeOffset]);
  if (entry.type == '\0' || entry.type == '7') entry.type = kTarRegular;
  switch (entry.type) {
    case kTarRegular:
    case kTarHardLink:
    case kTarSymlink:
    case kTarCharDevice:
    case kTarBlockDevice:
    case kTarDirectory:
    case kTarFifo:
      break;
    case 'x':
    case 'g':
    case 'L':
    case 'K':
      error = "pax and GNU long-name headers are not supported (names must fit ustar)";
      return false;
    default:
      error = std::string("unsupported entry type '") +
              (entry.type >= 0x20 && entry.type < 0x7f ? entry.type : '?') + "'";
      return false;
  }
  std::string name = fieldText(block + kNameOffset, kNameSize);
  // GNU tar's own format keeps other fields where ustar has the prefix.
  std::string prefix = ustar ? fieldText(block + kPrefixOffset, kPrefixSize) : std::string();
  entry.path = prefix.empty() ? name : prefix + "/" + name;
  entry.linkTarget = fieldText(block + kLinkOffset, kLinkSize);
  int64_t mode = 0, uid = 0, gid = 0, size = 0, mtime = 0, major = 0, minor = 0;
  if (!getNumber(block + kModeOffset, kModeSize, mode) || mode < 0 ||
      !getNumber(block + kUidOffset, kUidSize, uid) || uid < 0 || uid > 0xFFFFFFFEll ||
      !getNumber(block + kGidOffset, kGidSize, gid) || gid < 0 || gid > 0xFFFFFFFEll ||
      !getNumber(block + kSizeOffset, kSizeSize, size) || size < 0 ||
      !getNumber(block + kMtimeOffset, kMtimeSize, mtime)) {
    error = "bad number in tar header";
    return false;
  }
  if (entry.type == kTarCharDevice || entry.type == kTarBlockDevice) {
    if (!getNumber(block + kDevMajorOffset, kDevMajorSize, major) || major < 0 || major > 0xFFFFF ||
        !getNumber(block + kDevMinorOffset, kDevMinorSize, minor) || minor < 0 || minor > 0xFFFFF) {
      error = "bad device number in tar header";
      return false;
    }
  }
  entry.mode = static_cast<uint32_t>(mode) & 07777;
  entry.uid = static_cast<uint32_t>(uid);
  entry.gid = static_cast<uint32_t>(gid);
  entry.size = static_cast<uint64_t>(size);
  entry.mtime = mtime;
  entry.devMajor = static_cast<uint32_t>(major);
  entry.devMinor = static_cast<uint32_t>(minor);
  return true;
}
