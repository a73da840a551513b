// The 32-byte header of a floppy part file, held byte for byte as read from the floppy, with
// named offsets for its little-endian fields. The set writer and the reader share it.
#pragma once

#include <stdint.h>

#include "base/le.h"

constexpr uint32_t floppyMagic = 0x72847299;
constexpr int kFloppyHeaderSize = 32;
constexpr uint32_t kBlockCrcSize = 4;  // the CRC-32 stored behind each block's data

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

// The fields of one part's header, as the set writer fills them in.
struct FloppyPartFields {
  uint32_t partSize;
  uint32_t setId;
  uint16_t partIndex;
  uint16_t partCount;
  uint16_t blockSize;
  uint16_t groupBlocks;
  uint16_t parityBlocks;
};

// Writes the header of a part with the given fields into `bytes` (kFloppyHeaderSize bytes; the
// unused tail is zero).
inline void storeFloppyHeader(uint8_t* bytes, const FloppyPartFields& f) {
  for (int i = 0; i < kFloppyHeaderSize; ++i) bytes[i] = 0;
  storeLe32(bytes + floppy_header::kMagic, floppyMagic);
  storeLe32(bytes + floppy_header::kPartSize, f.partSize);
  storeLe32(bytes + floppy_header::kSetId, f.setId);
  storeLe16(bytes + floppy_header::kPartIndex, f.partIndex);
  storeLe16(bytes + floppy_header::kPartCount, f.partCount);
  storeLe16(bytes + floppy_header::kBlockSize, f.blockSize);
  storeLe16(bytes + floppy_header::kGroupBlocks, f.groupBlocks);
  storeLe16(bytes + floppy_header::kParityBlocks, f.parityBlocks);
}
