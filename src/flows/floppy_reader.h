// The floppy set reader: checks one part file's header, reads it group by group, verifies every
// block's CRC-32, rebuilds one damaged data block per group from XOR parity, and hands the
// part's payload to the installer stream only once the whole part is sound. Draws a progress bar.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "base/floppy_header.h"
#include "tui/progress_bar.h"

struct InstallContext;

constexpr uint32_t kMinBlockSize = 5;          // at least one data byte per block
constexpr double kMaxGroupBytes = 1048576.0;   // one group in memory, at most 1 MiB
constexpr uint32_t kFloppyProgressWidth = 70;  // cells of the reader's progress bar
constexpr uint32_t kFloppyProgressInitialTotal = 100;

// The stored blocks of one group; each block buffer holds blockSize bytes, the first
// blockSize - 4 of them data.
struct BlockGroup {
  uint32_t count;    // blocks per group, parity blocks included
  uint8_t** blocks;  // count owned buffers
  uint32_t* crcs;    // count stored CRCs
};

// Allocates `count` blocks of `blockSize` bytes; false (and nothing held) when memory is short.
bool makeBlockGroup(BlockGroup& group, uint32_t count, uint32_t blockSize);
void freeBlockGroup(BlockGroup& group);

// CRC-32 (start 0xFFFFFFFF, inverted result) of `length` bytes, as the package library computes.
uint32_t blockCrc(const uint8_t* data, uint32_t length);

// True when `header` is a usable part of the set that `reference` (the last accepted header)
// belongs to: magic, same setId and partCount as an accepted reference, a layout with at least
// one data byte and one data block per group, a group of at most 1 MiB, a non-empty payload,
// and groups that fit in `fileSize` bytes of part file (header included).
bool headerAcceptable(const FloppySetHeader& reference, const FloppySetHeader& header,
                      uint64_t fileSize);
// Reads 32 bytes from `file` into `candidate` and checks them against `reference` (the last
// accepted header). False on a short read or a refused header.
bool readHeader(const FloppySetHeader& reference, FloppySetHeader& candidate, FILE* file);
// Reads the group's blocks, laid out as `header` says, and their CRCs; false on a short read.
bool readGroup(const FloppySetHeader& header, BlockGroup& group, FILE* file);
// Verifies every block and rebuilds one bad data block from the XOR parity block; false when
// the group cannot be made whole. The repair is noted on the log terminal.
bool checkAndRepairGroup(const FloppySetHeader& header, BlockGroup& group);
// ceil(ceil(count / blockSize) / dataBlocks): the scale of the progress bar.
uint32_t groupsInPart(const FloppySetHeader& header, uint32_t count);

// Reads the part in `file` and writes its payload to `stream`. The part's header becomes the
// context's reference only once the whole part was read and verified, so a damaged floppy of
// another set cannot lock the reader onto that set. Returns partSize on success, 0 when the
// floppy is unusable (nothing was written), -1 when writing failed or the payload does not fit
// in memory (the caller gives up).
int32_t readFloppyPart(InstallContext& context, FILE* file, FILE* stream);
