// The 32-byte header of a floppy part file, held byte for byte as read from the floppy, with
// named offsets for its little-endian fields.
#pragma once

#include <stdint.h>

#include "core/le.h"

constexpr uint32_t floppyMagic = 0x72847299;
constexpr int kFloppyHeaderSize = 32;

struct FloppySetHeader {
  uint8_t bytes[kFloppyHeaderSize];
};

namespace floppy_header {
constexpr int kMagic = 0;
constexpr int kPartSize = 4;
constexpr int kSetId = 8;
constexpr int kPartIndex = 12;
constexpr int kPartCount = 14;
constexpr int kBlockSize = 16;
constexpr int kGroupBlocks = 18;
constexpr int kParityBlocks = 20;
}  // namespace floppy_header

inline uint32_t headerMagic(const FloppySetHeader& h) {
  return loadLe32(h.bytes + floppy_header::kMagic);
}
inline uint32_t headerPartSize(const FloppySetHeader& h) {
  return loadLe32(h.bytes + floppy_header::kPartSize);
}
inline uint32_t headerSetId(const FloppySetHeader& h) {
  return loadLe32(h.bytes + floppy_header::kSetId);
}
inline uint16_t headerPartIndex(const FloppySetHeader& h) {
  return loadLe16(h.bytes + floppy_header::kPartIndex);
}
inline uint16_t headerPartCount(const FloppySetHeader& h) {
  return loadLe16(h.bytes + floppy_header::kPartCount);
}
inline uint16_t headerBlockSize(const FloppySetHeader& h) {
  return loadLe16(h.bytes + floppy_header::kBlockSize);
}
inline uint16_t headerGroupBlocks(const FloppySetHeader& h) {
  return loadLe16(h.bytes + floppy_header::kGroupBlocks);
}
inline uint16_t headerParityBlocks(const FloppySetHeader& h) {
  return loadLe16(h.bytes + floppy_header::kParityBlocks);
}
inline void setHeaderPartCount(FloppySetHeader& h, uint16_t v) {
  storeLe16(h.bytes + floppy_header::kPartCount, v);
}
