// Reading one part file of a floppy set: header rules, group reading, CRC checks, XOR repair,
// the in-memory payload and its hand-over to the installer stream, and the progress bar.
// Holds one part's payload and one group in memory, nothing more.
#include "flows/floppy_reader.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/child.h"
#include "base/context.h"
#include "libinstall.h"
#include "stream/package_stream.h"

namespace {

uint32_t dataBytesPerBlock(const FloppySetHeader& h) {
  return headerBlockSize(h) - kBlockCrcSize;
}
uint32_t dataBlocksPerGroup(const FloppySetHeader& h) {
  return static_cast<uint32_t>(headerGroupBlocks(h)) - headerParityBlocks(h);
}
uint64_t ceilDiv(uint64_t a, uint64_t b) {
  return (a + b - 1) / b;
}

// Opened without creating it: on a writable /dev without the log terminal, "a" would leave an
// ordinary file there.
void noteRepair(uint32_t bad) {
  int fd = open(logTerminalPath, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;  // no log terminal: the repair stays silent
  FILE* log = fdopen(fd, "a");
  if (!log) {
    close(fd);
    return;
  }
  fprintf(log, "Recovering bad block #%d\n", static_cast<int>(bad));
  fclose(log);
}

}  // namespace

bool makeBlockGroup(BlockGroup& group, uint32_t count, uint32_t blockSize) {
  group.count = 0;
  group.blocks = static_cast<uint8_t**>(calloc(count, sizeof(uint8_t*)));
  group.crcs = static_cast<uint32_t*>(calloc(count, sizeof(uint32_t)));
  if (!group.blocks || !group.crcs) {
    freeBlockGroup(group);
    return false;
  }
  group.count = count;
  for (uint32_t i = 0; i < count; ++i) {
    group.blocks[i] = static_cast<uint8_t*>(malloc(blockSize));
    if (!group.blocks[i]) {
      freeBlockGroup(group);
      return false;
    }
  }
  return true;
}

void freeBlockGroup(BlockGroup& group) {
  if (group.blocks) {
    for (uint32_t i = 0; i < group.count; ++i) free(group.blocks[i]);
  }
  free(group.blocks);
  free(group.crcs);
  group.blocks = nullptr;
  group.crcs = nullptr;
  group.count = 0;
}

uint32_t blockCrc(const uint8_t* data, uint32_t length) {
  // The library's interface is not const-correct; it only reads the bytes.
  return ~update_crc(0xFFFFFFFFu, const_cast<unsigned char*>(data), length);
}

bool headerAcceptable(const FloppySetHeader& reference, const FloppySetHeader& header,
                      uint64_t fileSize) {
  if (headerMagic(header) != floppyMagic) return false;
  // Once a part was accepted, every further part must come from the same set.
  if (headerMagic(reference) == floppyMagic) {
    if (headerSetId(header) != headerSetId(reference)) return false;
    if (headerPartCount(header) != headerPartCount(reference)) return false;
  }
  if (headerPartCount(header) == 0 || headerPartIndex(header) >= headerPartCount(header)) {
    return false;
  }
  uint32_t blockSize = headerBlockSize(header);
  uint32_t groupBlocks = headerGroupBlocks(header);
  if (blockSize < kMinBlockSize) return false;
  if (groupBlocks <= headerParityBlocks(header)) return false;
  if (static_cast<double>(blockSize) * groupBlocks > kMaxGroupBytes) return false;
  uint32_t partSize = headerPartSize(header);
  // Empty parts are unusable, and the reader's result must be able to carry the size.
  if (partSize == 0 || partSize > static_cast<uint32_t>(INT32_MAX)) return false;
  // The groups the header promises must be in the file: a damaged partSize must not decide
  // how much memory is taken.
  uint64_t groupData =
      static_cast<uint64_t>(dataBlocksPerGroup(header)) * dataBytesPerBlock(header);
  uint64_t groups = ceilDiv(partSize, groupData);
  uint64_t needed = kFloppyHeaderSize + groups * groupBlocks * blockSize;
  return needed <= fileSize;
}

bool readHeader(const FloppySetHeader& reference, FloppySetHeader& candidate, FILE* file) {
  if (fread(candidate.bytes, sizeof candidate.bytes, 1, file) != 1) return false;
  struct stat st;
  int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return headerAcceptable(reference, candidate, static_cast<uint64_t>(st.st_size));
}

bool readGroup(const FloppySetHeader& header, BlockGroup& group, FILE* file) {
  uint32_t dataBytes = dataBytesPerBlock(header);
  uint32_t count = headerGroupBlocks(header);
  if (count > group.count) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (fread(group.blocks[i], dataBytes, 1, file) != 1) return false;
    uint8_t stored[kBlockCrcSize];
    if (fread(stored, sizeof stored, 1, file) != 1) return false;
    group.crcs[i] = loadLe32(stored);
  }
  return true;
}

bool checkAndRepairGroup(const FloppySetHeader& header, BlockGroup& group) {
  uint32_t dataBytes = dataBytesPerBlock(header);
  uint32_t count = headerGroupBlocks(header);
  if (count > group.count) return false;
  uint32_t bad = count;
  for (uint32_t i = 0; i < count; ++i) {
    if (blockCrc(group.blocks[i], dataBytes) == group.crcs[i]) continue;
    if (bad != count) return false;  // two bad blocks in one group: parity cannot help
    bad = i;
  }
  // No bad block, or only a parity block, which nothing reads.
  if (bad >= dataBlocksPerGroup(header)) return true;
  if (headerParityBlocks(header) != 1) return false;

  noteRepair(bad);
  uint8_t* rebuilt = group.blocks[bad];
  memset(rebuilt, 0, dataBytes);
  for (uint32_t i = 0; i < count; ++i) {
    if (i == bad) continue;
    const uint8_t* other = group.blocks[i];
    for (uint32_t j = 0; j < dataBytes; ++j) rebuilt[j] ^= other[j];
  }
  return true;
}

uint32_t groupsInPart(const FloppySetHeader& header, uint32_t count) {
  uint32_t blockSize = headerBlockSize(header);
  uint32_t dataBlocks = dataBlocksPerGroup(header);
  if (blockSize == 0 || dataBlocks == 0) return 0;
  return static_cast<uint32_t>(ceilDiv(ceilDiv(count, blockSize), dataBlocks));
}

int32_t readFloppyPart(InstallContext& context, FILE* file, FILE* stream) {
  ProgressBar bar;
  initProgress(bar, kFloppyProgressWidth, kFloppyProgressInitialTotal);
  FloppySetHeader header;
  if (!readHeader(context.header, header, file)) return 0;

  uint32_t partSize = headerPartSize(header);
  uint32_t dataBytes = dataBytesPerBlock(header);
  uint32_t dataBlocks = dataBlocksPerGroup(header);
  printf("Installing part %d of %d...\n", headerPartIndex(header) + 1, headerPartCount(header));
  drawFrame(bar);
  bar.total = groupsInPart(header, partSize) + 2;

  uint8_t* payload = static_cast<uint8_t*>(malloc(partSize));
  BlockGroup group = {0, nullptr, nullptr};
  if (!payload || !makeBlockGroup(group, headerGroupBlocks(header), headerBlockSize(header))) {
    free(payload);
    finishProgress(bar);
    return -1;  // the header was checked against the file: a part this size cannot be held
  }

  uint32_t filled = 0;
  while (filled < partSize) {
    if (!readGroup(header, group, file) || !checkAndRepairGroup(header, group)) {
      free(payload);
      freeBlockGroup(group);
      finishProgress(bar);
      return 0;
    }
    stepProgress(bar);
    for (uint32_t i = 0; i < dataBlocks && filled < partSize; ++i) {
      uint32_t missing = partSize - filled;
      uint32_t piece = missing < dataBytes ? missing : dataBytes;
      memcpy(payload + filled, group.blocks[i], piece);
      filled += piece;
    }
  }

  // The part is whole: from here on it belongs to the set, whatever the installer makes of it.
  memcpy(context.header.bytes, header.bytes, sizeof header.bytes);
  uint32_t left = partSize;
  const uint8_t* next = payload;
  while (left > 0) {
    uint32_t piece = left < kCopyPieceSize ? left : static_cast<uint32_t>(kCopyPieceSize);
    if (!writePackageBytes(stream, next, piece)) {
      free(payload);
      freeBlockGroup(group);
      finishProgress(bar);
      return -1;
    }
    next += piece;
    left -= piece;
    if (left < (partSize >> 1)) stepProgress(bar);
  }

  free(payload);
  completeProgress(bar);
  freeBlockGroup(group);
  finishProgress(bar);
  return static_cast<int32_t>(partSize);
}
