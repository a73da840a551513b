// Writing a floppy set: the payload cut into parts that each fit one floppy, every part a
// 32-byte header followed by groups of CRC-protected blocks closed by XOR parity. The layout
// rules here are the ones the installer's floppy reader accepts.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "base/floppy_header.h"

constexpr uint32_t kSetHeaderSize = kFloppyHeaderSize;
constexpr uint32_t kMaxSetGroupBytes = 1048576;  // the reader holds one group in memory
constexpr uint32_t kMaxSetParts = 65535;
// Free bytes of a FAT12 file system made with "mkfs.fat -C img 1440".
constexpr uint64_t kFloppyFileLimit = 1457664;
constexpr uint32_t kDefaultBlockSize = 1024;
constexpr uint32_t kDefaultGroupBlocks = 16;

struct FloppySetLayout {
  uint32_t blockSize = kDefaultBlockSize;      // stored block, CRC included
  uint32_t groupBlocks = kDefaultGroupBlocks;  // blocks per group, parity included
  // 1: the last block of each group is the XOR of the data blocks. 0: no parity. More: every
  // parity block holds the XOR, but the reader only checks their CRCs.
  uint32_t parityBlocks = 1;
  uint32_t setId = 0;
  uint64_t partFileLimit = kFloppyFileLimit;  // largest part file
};

// Null when the layout is usable, otherwise why not.
const char* layoutProblem(const FloppySetLayout& layout);
// Payload bytes that one part file of the layout carries (whole groups only).
uint64_t partPayloadCapacity(const FloppySetLayout& layout);
// Parts needed for `payloadSize` bytes, or 0 when the payload is empty or needs too many.
uint32_t partsNeeded(const FloppySetLayout& layout, uint64_t payloadSize);
// CRC-32 as stored behind each block (zlib's, which equals the package library's).
uint32_t setBlockCrc(const uint8_t* data, size_t length);

// Builds part `partIndex` of `partCount` carrying `size` payload bytes. The layout must be valid.
std::vector<uint8_t> buildFloppyPart(const FloppySetLayout& layout, uint16_t partIndex,
                                     uint16_t partCount, const uint8_t* payload, uint32_t size);
// Cuts `payload` into parts; empty when the layout is unusable or the payload empty or too big.
std::vector<std::vector<uint8_t>> buildFloppySet(const FloppySetLayout& layout,
                                                 const std::vector<uint8_t>& payload);
// A fresh set identifier from the system's random source; false when none could be read.
bool randomSetId(uint32_t* setId);
