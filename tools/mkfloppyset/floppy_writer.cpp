// The floppy set writer's core, shared by mkfloppyset and the reader's round-trip tests. The
// output depends only on the payload and the layout (set identifier included).
#include "floppy_writer.h"

#include <string.h>

#include <sys/random.h>
#include <zlib.h>
#include <algorithm>

namespace {

uint32_t dataBytes(const FloppySetLayout& l) {
  return l.blockSize - kBlockCrcSize;
}
uint32_t dataBlocks(const FloppySetLayout& l) {
  return l.groupBlocks - l.parityBlocks;
}
uint64_t groupPayload(const FloppySetLayout& l) {
  return static_cast<uint64_t>(dataBlocks(l)) * dataBytes(l);
}

}  // namespace

const char* layoutProblem(const FloppySetLayout& l) {
  if (l.blockSize < kBlockCrcSize + 1 || l.blockSize > 0xFFFF) {
    return "block size must be 5 to 65535 bytes";
  }
  if (l.groupBlocks > 0xFFFF || l.parityBlocks > 0xFFFF) return "too many blocks per group";
  if (l.groupBlocks <= l.parityBlocks) return "a group needs at least one data block";
  if (static_cast<uint64_t>(l.blockSize) * l.groupBlocks > kMaxSetGroupBytes) {
    return "a group (block size times blocks per group) must not exceed 1048576 bytes";
  }
  if (kSetHeaderSize + static_cast<uint64_t>(l.blockSize) * l.groupBlocks > l.partFileLimit) {
    return "not even one group fits in a part file";
  }
  return nullptr;
}

uint64_t partPayloadCapacity(const FloppySetLayout& l) {
  if (layoutProblem(l)) return 0;
  uint64_t groupBytes = static_cast<uint64_t>(l.blockSize) * l.groupBlocks;
  uint64_t groups = (l.partFileLimit - kSetHeaderSize) / groupBytes;
  uint64_t capacity = groups * groupPayload(l);
  // The reader reports a part's size as a signed 32-bit count.
  return capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity;
}

uint32_t partsNeeded(const FloppySetLayout& l, uint64_t payloadSize) {
  uint64_t capacity = partPayloadCapacity(l);
  if (capacity == 0 || payloadSize == 0) return 0;
  uint64_t parts = (payloadSize + capacity - 1) / capacity;
  return parts > kMaxSetParts ? 0 : static_cast<uint32_t>(parts);
}

uint32_t setBlockCrc(const uint8_t* data, size_t length) {
  uLong crc = crc32(0L, Z_NULL, 0);
  return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(length)));
}

std::vector<uint8_t> buildFloppyPart(const FloppySetLayout& l, uint16_t partIndex,
                                     uint16_t partCount, const uint8_t* payload, uint32_t size) {
  uint32_t data = dataBytes(l);
  uint64_t perGroup = groupPayload(l);
  uint64_t groups = (size + perGroup - 1) / perGroup;
  std::vector<uint8_t> part(kSetHeaderSize + groups * l.groupBlocks * l.blockSize, 0);

  FloppyPartFields fields = {size,
                             l.setId,
                             partIndex,
                             partCount,
                             static_cast<uint16_t>(l.blockSize),
                             static_cast<uint16_t>(l.groupBlocks),
                             static_cast<uint16_t>(l.parityBlocks)};
  storeFloppyHeader(part.data(), fields);

  std::vector<uint8_t> parity(data);
  uint64_t consumed = 0;
  uint8_t* out = part.data() + kSetHeaderSize;
  for (uint64_t g = 0; g < groups; ++g) {
    std::fill(parity.begin(), parity.end(), 0);
    for (uint32_t b = 0; b < dataBlocks(l); ++b) {
      // Past the payload's end the block stays zero filler.
      uint64_t take = size - consumed < data ? size - consumed : data;
      memcpy(out, payload + consumed, take);
      consumed += take;
      for (uint32_t j = 0; j < data; ++j) parity[j] ^= out[j];
      storeLe32(out + data, setBlockCrc(out, data));
      out += l.blockSize;
    }
    for (uint32_t p = 0; p < l.parityBlocks; ++p) {
      memcpy(out, parity.data(), data);
      storeLe32(out + data, setBlockCrc(out, data));
      out += l.blockSize;
    }
  }
  return part;
}

std::vector<std::vector<uint8_t>> buildFloppySet(const FloppySetLayout& l,
                                                 const std::vector<uint8_t>& payload) {
  std::vector<std::vector<uint8_t>> parts;
  uint32_t count = partsNeeded(l, payload.size());
  if (count == 0) return parts;
  uint64_t capacity = partPayloadCapacity(l);
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t left = payload.size() - offset;
    uint64_t size = left < capacity ? left : capacity;
    parts.push_back(buildFloppyPart(l, static_cast<uint16_t>(i), static_cast<uint16_t>(count),
                                    payload.data() + offset, static_cast<uint32_t>(size)));
    offset += size;
  }
  return parts;
}

bool randomSetId(uint32_t* setId) {
  uint8_t bytes[4];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
  *setId = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  return true;
}
