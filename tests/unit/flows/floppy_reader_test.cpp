// The floppy set reader against sets written by mkfloppyset's core: round trips over random
// layouts and payloads, every single-block damage repaired, every double one refused with
// nothing streamed, the header rules (a header becomes the reference only with its part read
// whole), the console and the memory it holds.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/context.h"
#include "floppy_writer.h"
#include "flows/floppy_install.h"
#include "flows/floppy_reader.h"
#include "support/pty_harness.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ReadOutcome {
  int32_t result = 0;
  Bytes streamed;       // what reached the installer stream
  std::string console;  // what the reader wrote on standard output
};

// A regular, unlinked file holding `bytes`, positioned at its start.
FILE* fileWith(const Bytes& bytes) {
  FILE* f = tmpfile();
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  rewind(f);
  return f;
}

// Reads one part file as the floppy flow does, with a fresh context unless one is given.
ReadOutcome readPart(const Bytes& part, InstallContext* shared = nullptr) {
  InstallContext fresh;
  initInstallContext(fresh);
  ReadOutcome outcome;
  FILE* file = fileWith(part);
  FILE* stream = tmpfile();
  outcome.console = captureStdout(
      [&] { outcome.result = readFloppyPart(shared ? *shared : fresh, file, stream); });
  fflush(stream);
  std::string streamed = readFile("/proc/self/fd/" + std::to_string(fileno(stream)));
  outcome.streamed.assign(streamed.begin(), streamed.end());
  fclose(file);
  fclose(stream);
  return outcome;
}

Bytes randomBytes(std::mt19937& rng, size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

uint32_t inRange(std::mt19937& rng, uint32_t low, uint32_t high) {
  return low + rng() % (high - low + 1);
}

// A layout small enough for exhaustive damage sweeps, with parts of a few groups each.
FloppySetLayout smallLayout(uint32_t blockSize, uint32_t groupBlocks, uint32_t parityBlocks,
                            uint32_t groupsPerPart) {
  FloppySetLayout layout;
  layout.blockSize = blockSize;
  layout.groupBlocks = groupBlocks;
  layout.parityBlocks = parityBlocks;
  layout.setId = 0x5e7c0de;
  layout.partFileLimit = kSetHeaderSize + uint64_t{blockSize} * groupBlocks * groupsPerPart;
  return layout;
}

// Flips one byte of block `block` (counted over the whole part) somewhere in its data or CRC.
void damageBlock(Bytes& part, const FloppySetLayout& layout, uint32_t block, std::mt19937& rng) {
  size_t offset = kSetHeaderSize + size_t{block} * layout.blockSize + rng() % layout.blockSize;
  part.at(offset) ^= static_cast<uint8_t>(1 + rng() % 255);
}

// The reader's log terminal is a scratch file for the whole program; takeLog() empties it.
ScratchDir logDir;
const bool logReady = snprintf(logTerminalPath, sizeof logTerminalPath, "%s",
                               logDir.file("log").c_str()) > 0 &&
                      writeFile(logDir.file("log"), "");  // the reader only appends
std::string takeLog() {
  std::string text = readFile(logDir.file("log"));
  writeFile(logDir.file("log"), "");
  return text;
}

// One part of 500 payload bytes in a 100-byte, 4-block layout: three data blocks a group.
Bytes onePart(uint32_t setId, uint16_t partCount = 1, uint16_t partIndex = 0) {
  FloppySetLayout layout = smallLayout(100, 4, 1, 10);
  layout.setId = setId;
  std::mt19937 rng(setId);
  Bytes part = buildFloppySet(layout, randomBytes(rng, 500)).at(0);
  storeLe16(part.data() + floppy_header::kPartCount, partCount);
  storeLe16(part.data() + floppy_header::kPartIndex, partIndex);
  return part;
}

void put16(Bytes& part, size_t at, uint16_t v) {
  storeLe16(part.data() + at, v);
}
void put32(Bytes& part, size_t at, uint32_t v) {
  storeLe32(part.data() + at, v);
}

}  // namespace

// Random layouts and payloads, part after part with one context: a part with one damaged block
// comes back whole (the repair noted unless the parity block itself was hit), and with a second
// damaged block in the same group it is refused with nothing streamed and its line closed.
TEST(FloppyRoundTrip, randomSetsComeBackWholeThroughOneDamagedBlockAGroupButNotTwo) {
  const char* fixed = getenv("FLOPPY_TEST_SEED");  // to repeat a run
  uint32_t seed =
      fixed ? static_cast<uint32_t>(strtoul(fixed, nullptr, 0)) : std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int run = 0; run < 80; ++run) {
    FloppySetLayout layout;
    layout.blockSize = inRange(rng, 5, 3000);
    layout.groupBlocks = inRange(rng, 2, 48);
    layout.setId = rng();
    uint64_t groupBytes = uint64_t{layout.blockSize} * layout.groupBlocks;
    layout.partFileLimit = kSetHeaderSize + groupBytes * inRange(rng, 1, 5) + rng() % groupBytes;
    Bytes payload = randomBytes(rng, inRange(rng, 1, 120000));
    SCOPED_TRACE("run " + std::to_string(run));
    auto parts = buildFloppySet(layout, payload);
    ASSERT_FALSE(parts.empty());
    if (parts.size() > 40) continue;  // keep the run short
    InstallContext context;
    initInstallContext(context);
    Bytes streamed;
    for (size_t i = 0; i < parts.size(); ++i) {
      ASSERT_EQ(headerPartCount(context.header), i == 0 ? 1u : parts.size());
      uint32_t blocks =
          static_cast<uint32_t>((parts[i].size() - kSetHeaderSize) / layout.blockSize);
      uint32_t block = rng() % blocks, inGroup = block % layout.groupBlocks;
      Bytes once = parts[i], twice;
      damageBlock(once, layout, block, rng);
      damageBlock(
          twice = once, layout,
          block - inGroup + (inGroup + 1 + rng() % (layout.groupBlocks - 1)) % layout.groupBlocks,
          rng);
      ReadOutcome refused = readPart(twice, &context);
      ASSERT_EQ(refused.result, 0) << "part " << i << " block " << block;
      ASSERT_TRUE(refused.streamed.empty());
      ASSERT_EQ(refused.console.back(), '\n');
      takeLog();
      ReadOutcome outcome = readPart(once, &context);
      ASSERT_GT(outcome.result, 0) << "part " << i << " block " << block;
      ASSERT_EQ(static_cast<size_t>(outcome.result), outcome.streamed.size());
      ASSERT_EQ(takeLog(), inGroup + 1 < layout.groupBlocks
                               ? "Recovering bad block #" + std::to_string(inGroup) + "\n"
                               : "");
      streamed.insert(streamed.end(), outcome.streamed.begin(), outcome.streamed.end());
    }
    ASSERT_EQ(streamed, payload);
  }
}

// Only a single parity block repairs data; with none or two, damaged data refuses the part,
// while a damaged extra parity block is merely skipped. Without parity a sound part is read.
TEST(FloppyParityRules, onlyOneXorBlockRepairsData) {
  const struct {
    uint32_t parityBlocks, damagedBlock;
    bool accepted;
  } cases[] = {{0, 99, true}, {0, 2, false}, {2, 1, false}, {2, 4, true}, {2, 5, true}};
  for (const auto& c : cases) {
    std::mt19937 rng(7);
    FloppySetLayout layout = smallLayout(40, 6, c.parityBlocks, 3);
    Bytes payload = randomBytes(rng, 300);
    Bytes part = buildFloppySet(layout, payload).at(0);
    if (c.damagedBlock < 99) damageBlock(part, layout, c.damagedBlock, rng);
    ReadOutcome outcome = readPart(part);
    EXPECT_EQ(outcome.result, c.accepted ? 300 : 0) << c.parityBlocks << "/" << c.damagedBlock;
    EXPECT_EQ(outcome.streamed, c.accepted ? payload : Bytes()) << c.parityBlocks;
    EXPECT_EQ(takeLog(), "");
  }
}

// ---- header rules ----

TEST(FloppyHeader, refusedHeaderLeavesTheAcceptedOneAndStreamsNothing) {
  const struct {
    const char* name;
    void (*edit)(Bytes& part);
  } cases[] = {
      {"wrong magic", [](Bytes& p) { put32(p, 0, 0x72847298); }},
      {"other set", [](Bytes& p) { put32(p, floppy_header::kSetId, 0xBBBB0002); }},
      {"other part count", [](Bytes& p) { put16(p, floppy_header::kPartCount, 4); }},
      {"short header", [](Bytes& p) { p.resize(31); }},
      {"empty file", [](Bytes& p) { p.clear(); }},
      {"block size 4", [](Bytes& p) { put16(p, floppy_header::kBlockSize, 4); }},
      {"block size 0", [](Bytes& p) { put16(p, floppy_header::kBlockSize, 0); }},
      {"no data blocks", [](Bytes& p) { put16(p, floppy_header::kParityBlocks, 4); }},
      {"more parity than blocks", [](Bytes& p) { put16(p, floppy_header::kParityBlocks, 9); }},
      {"part size 0", [](Bytes& p) { put32(p, floppy_header::kPartSize, 0); }},
      {"part size beyond file", [](Bytes& p) { put32(p, floppy_header::kPartSize, 0xFFFFFFF0u); }},
      {"one group too many", [](Bytes& p) { put32(p, floppy_header::kPartSize, 2 * 3 * 96 + 1); }},
      {"index beyond count", [](Bytes& p) { put16(p, floppy_header::kPartIndex, 3); }},
      {"cut by a byte", [](Bytes& p) { p.pop_back(); }},
      {"cut by a CRC", [](Bytes& p) { p.resize(p.size() - 4); }},
      {"only the header", [](Bytes& p) { p.resize(32); }},
  };
  for (const auto& c : cases) {
    InstallContext context;
    initInstallContext(context);
    ASSERT_GT(readPart(onePart(0xAAAA0001, 3), &context).result, 0);
    FloppySetHeader accepted = context.header;
    Bytes next = onePart(0xAAAA0001, 3, 1);
    c.edit(next);
    ReadOutcome outcome = readPart(next, &context);
    EXPECT_EQ(outcome.result, 0) << c.name;
    EXPECT_TRUE(outcome.streamed.empty()) << c.name;
    EXPECT_EQ(outcome.console, "") << c.name;  // refused before "Installing part"
    EXPECT_EQ(memcmp(context.header.bytes, accepted.bytes, kFloppyHeaderSize), 0) << c.name;
  }
}

TEST(FloppyHeader, damagedFirstFloppyOfAnotherSetDoesNotLockTheReader) {
  std::mt19937 rng(4);
  Bytes other = onePart(0xBBBB0002, 2);
  for (uint32_t block : {0, 1}) damageBlock(other, smallLayout(100, 4, 1, 10), block, rng);
  InstallContext context;
  initInstallContext(context);
  EXPECT_EQ(readPart(other, &context).result, 0);
  EXPECT_EQ(readPart(onePart(0xAAAA0001, 3), &context).result, 500);
}

TEST(FloppyHeader, groupOverOneMebibyteIsRefusedEvenWhenTheFileHoldsIt) {
  FloppySetLayout layout = smallLayout(16384, 64, 1, 1);  // exactly 1 MiB a group
  std::mt19937 rng(3);
  Bytes part = buildFloppySet(layout, randomBytes(rng, 5000)).at(0);
  put16(part, floppy_header::kBlockSize, 16385);
  part.resize(kSetHeaderSize + 16385 * 64);
  ReadOutcome outcome = readPart(part);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.console, "");
  // The same file with the layout it was made for, trailing bytes and all, is accepted.
  put16(part, floppy_header::kBlockSize, 16384);
  EXPECT_EQ(readPart(part).result, 5000);
}

TEST(FloppyReader, consoleShowsThePartFromItsIndexAndTheBarGrowingToFull) {
  ReadOutcome outcome = readPart(onePart(9, 4, 2));  // the index is shown, not compared
  EXPECT_EQ(outcome.result, 500);
  // Two groups and the streaming after them, on a scale of four steps.
  EXPECT_EQ(outcome.console, "Installing part 3 of 4...\n[" + std::string(70, ' ') + "]\r[" +
                                 std::string(17, '#') + "\r[" + std::string(35, '#') + "\r[" +
                                 std::string(52, '#') + "\r[" + std::string(70, '#') + "\n");
}

TEST(FloppyReader, failedStreamWriteGivesMinusOneWithTheBarClosed) {
  FILE* file = fileWith(onePart(5));
  FILE* readOnly = fopen("/dev/null", "r");
  InstallContext context;
  initInstallContext(context);
  int32_t result = 0;
  std::string console = captureStdout([&] { result = readFloppyPart(context, file, readOnly); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(console.back(), '\n');
  fclose(file);
  fclose(readOnly);
}

TEST(FloppyOrdinalWord, namesTheFloppiesAsTheOperatorCountsThem) {
  std::string words;
  for (unsigned n : {1u, 2u, 3u, 4u, 0u, 11u, 12u, 13u, 21u, 22u, 23u, 101u, 4294967295u})
    words += std::string(ordinalWord(n)) + " ";
  EXPECT_EQ(words, "1st 2nd 3rd 4th 0th 11th 12th 13th 21th 22th 23th 101th 4294967295th ");
}

namespace {

size_t peakHeld = 0;

// Heap bytes in use, large (mapped) blocks included.
size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

TEST(FloppyReaderMemory, holdsOnePayloadAndOneGroup) {
  FloppySetLayout layout;  // the writer's defaults: a full 1.44 MB floppy
  layout.setId = 42;
  std::mt19937 rng(1);
  FILE* file = fileWith(buildFloppySet(layout, randomBytes(rng, 1300000)).at(0));
  cookie_io_functions_t io = {};
  io.write = [](void*, const char*, size_t size) {
    peakHeld = std::max(peakHeld, heapInUse());
    return static_cast<ssize_t>(size);
  };
  FILE* stream = fopencookie(nullptr, "w", io);
  setvbuf(stream, nullptr, _IONBF, 0);  // every piece reaches the sampler
  InstallContext context;
  initInstallContext(context);
  size_t base = peakHeld = heapInUse();
  if (base == 0) GTEST_SKIP() << "malloc statistics not available (sanitizer build)";
  int32_t result = 0;
  std::string console = captureStdout([&] { result = readFloppyPart(context, file, stream); });
  ASSERT_EQ(result, 1300000);
  // Streaming steps the bar on beyond its scale: it stays full, no wider.
  EXPECT_EQ(console.substr(console.size() - 73), "\r[" + std::string(70, '#') + "\n");
  // Payload, group, the group's pointer arrays and malloc's own bookkeeping.
  EXPECT_GE(peakHeld - base, size_t{1300000});
  EXPECT_LE(peakHeld - base, 1300000 + size_t{layout.blockSize} * layout.groupBlocks + 8192);
  fclose(stream);
  fclose(file);
}
