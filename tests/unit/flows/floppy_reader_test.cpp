// The floppy set reader against sets written by mkfloppyset's core: round trips over random
// layouts and payloads, every single-block damage repaired, every double one refused with
// nothing streamed, the header rules, the progress bar's bytes and the memory it holds.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/context.h"
#include "base/signals.h"
#include "floppy_writer.h"
#include "flows/floppy_install.h"
#include "flows/floppy_reader.h"
#include "support/pty_harness.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A regular, unlinked file holding `bytes`, positioned at its start.
FILE* fileWith(const Bytes& bytes) {
  FILE* f = tmpfile();
  if (f && !bytes.empty()) fwrite(bytes.data(), bytes.size(), 1, f);
  if (f) rewind(f);
  return f;
}

struct ReadOutcome {
  int32_t result = 0;
  Bytes streamed;       // what reached the installer stream
  std::string console;  // what the reader wrote on standard output
};

// Reads one part file as the floppy flow does, with a fresh context unless one is given.
ReadOutcome readPart(const Bytes& part, InstallContext* shared = nullptr) {
  InstallContext fresh;
  initInstallContext(fresh);
  InstallContext& context = shared ? *shared : fresh;
  ReadOutcome outcome;
  FILE* file = fileWith(part);
  FILE* stream = tmpfile();
  if (file && stream) {
    outcome.console =
        captureStdout([&] { outcome.result = readFloppyPart(context, file, stream); });
    fflush(stream);
    std::string streamed = readFile("/proc/self/fd/" + std::to_string(fileno(stream)));
    outcome.streamed.assign(streamed.begin(), streamed.end());
  } else {
    ADD_FAILURE() << "no temporary files";
  }
  if (file) fclose(file);
  if (stream) fclose(stream);
  return outcome;
}

Bytes randomBytes(std::mt19937& rng, size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

uint32_t seedForRun() {
  const char* fixed = getenv("FLOPPY_TEST_SEED");
  uint32_t seed =
      fixed ? static_cast<uint32_t>(strtoul(fixed, nullptr, 0)) : std::random_device()();
  printf("floppy test seed %u (set FLOPPY_TEST_SEED to repeat)\n", seed);
  return seed;
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

// The reader's log terminal, sent to a scratch file for the life of the object.
struct LogTerminalCapture {
  ScratchDir dir;
  char saved[sizeof logTerminalPath];
  LogTerminalCapture() {
    memcpy(saved, logTerminalPath, sizeof saved);
    snprintf(logTerminalPath, sizeof logTerminalPath, "%s", dir.file("log").c_str());
    take();  // the reader only appends to an existing terminal
  }
  ~LogTerminalCapture() { memcpy(logTerminalPath, saved, sizeof saved); }
  std::string take() {
    std::string text = readFile(dir.file("log"));
    writeFile(dir.file("log"), "");
    return text == "<missing>" ? "" : text;
  }
};

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

TEST(FloppyRoundTrip, randomLayoutsAndPayloadsComeBackWhole) {
  uint32_t seed = seedForRun();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int run = 0; run < 60; ++run) {
    FloppySetLayout layout;
    layout.blockSize = inRange(rng, 5, 3000);
    layout.groupBlocks = inRange(rng, 2, 48);
    layout.parityBlocks = inRange(rng, 0, 3) == 0 ? 0 : 1;
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
      ReadOutcome outcome = readPart(parts[i], &context);
      ASSERT_GT(outcome.result, 0) << "part " << i;
      ASSERT_EQ(static_cast<size_t>(outcome.result), outcome.streamed.size());
      streamed.insert(streamed.end(), outcome.streamed.begin(), outcome.streamed.end());
    }
    ASSERT_EQ(streamed, payload);
  }
}

struct DamageCase {
  uint32_t blockSize, groupBlocks, groupsPerPart, payloadSize;
};

class FloppyDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(FloppyDamage, everySingleDamagedBlockIsRepairedAndEveryDoubleOneRefused) {
  const DamageCase& c = GetParam();
  uint32_t seed = seedForRun();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  FloppySetLayout layout = smallLayout(c.blockSize, c.groupBlocks, 1, c.groupsPerPart);
  Bytes payload = randomBytes(rng, c.payloadSize);
  auto parts = buildFloppySet(layout, payload);
  ASSERT_FALSE(parts.empty());
  LogTerminalCapture log;
  size_t offset = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    uint32_t partSize = loadLe32(parts[p].data() + floppy_header::kPartSize);
    Bytes expected(payload.begin() + offset, payload.begin() + offset + partSize);
    offset += partSize;
    uint32_t blocks = static_cast<uint32_t>((parts[p].size() - kSetHeaderSize) / c.blockSize);
    for (uint32_t b = 0; b < blocks; ++b) {
      uint32_t inGroup = b % c.groupBlocks;
      SCOPED_TRACE("part " + std::to_string(p) + " block " + std::to_string(b));
      Bytes damaged = parts[p];
      damageBlock(damaged, layout, b, rng);
      log.take();
      ReadOutcome outcome = readPart(damaged);
      ASSERT_EQ(outcome.result, static_cast<int32_t>(partSize));
      ASSERT_EQ(outcome.streamed, expected);
      ASSERT_EQ(log.take(), inGroup + 1 < c.groupBlocks
                                ? "Recovering bad block #" + std::to_string(inGroup) + "\n"
                                : "");
      for (uint32_t other = b + 1; other < b - inGroup + c.groupBlocks; ++other) {
        Bytes twice = damaged;
        damageBlock(twice, layout, other, rng);
        ReadOutcome refused = readPart(twice);
        ASSERT_EQ(refused.result, 0) << "and block " << other;
        ASSERT_TRUE(refused.streamed.empty()) << "and block " << other;
        ASSERT_EQ(refused.console.back(), '\n');  // the bar's line is closed
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FloppyDamage,
                         ::testing::Values(DamageCase{5, 2, 3, 7},       // one data byte a block
                                           DamageCase{16, 5, 3, 100},    // ends mid-block
                                           DamageCase{64, 8, 2, 1000},   // several parts
                                           DamageCase{517, 4, 4, 3000},  // odd block size
                                           DamageCase{1024, 16, 2, 40000}));

// Only a single parity block repairs data; with none or two, damaged data refuses the part,
// while a damaged extra parity block is merely skipped.
TEST(FloppyParityRules, onlyOneXorBlockRepairsData) {
  const struct {
    uint32_t parityBlocks, damagedBlock;
    bool accepted;
  } cases[] = {{0, 2, false}, {2, 1, false}, {2, 4, true}, {2, 5, true}};
  LogTerminalCapture log;
  for (const auto& c : cases) {
    std::mt19937 rng(7);
    FloppySetLayout layout = smallLayout(40, 6, c.parityBlocks, 3);
    Bytes payload = randomBytes(rng, 300);
    Bytes part = buildFloppySet(layout, payload).at(0);
    damageBlock(part, layout, c.damagedBlock, rng);
    ReadOutcome outcome = readPart(part);
    EXPECT_EQ(outcome.result, c.accepted ? 300 : 0) << c.parityBlocks << "/" << c.damagedBlock;
    EXPECT_EQ(outcome.streamed, c.accepted ? payload : Bytes()) << c.parityBlocks;
    EXPECT_EQ(log.take(), "");
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
      {"other part count", [](Bytes& p) { put16(p, floppy_header::kPartCount, 1); }},
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

TEST(FloppyReader, truncatedPartIsRefusedWithNothingStreamed) {
  Bytes part = onePart(5);
  for (size_t cut : {part.size() - 1, part.size() - 5, size_t{33}, size_t{32}}) {
    ReadOutcome outcome = readPart(Bytes(part.begin(), part.begin() + cut));
    EXPECT_EQ(outcome.result, 0) << "cut at " << cut;
    EXPECT_TRUE(outcome.streamed.empty()) << "cut at " << cut;
  }
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

TEST(FloppyReader, consoleShowsThePartFromItsIndexAndTheBarFilled) {
  ReadOutcome outcome = readPart(onePart(9, 4, 2));  // the index is shown, not compared
  EXPECT_EQ(outcome.result, 500);
  std::string frame = "Installing part 3 of 4...\n[" + std::string(70, ' ') + "]";
  EXPECT_EQ(outcome.console.rfind(frame, 0), 0u) << outcome.console;
  std::string full = "\r[" + std::string(70, '#') + "\n";
  ASSERT_GE(outcome.console.size(), full.size());
  EXPECT_EQ(outcome.console.substr(outcome.console.size() - full.size()), full);
}

TEST(FloppyReader, failedStreamWriteGivesMinusOne) {
  FILE* file = fileWith(onePart(5));
  FILE* readOnly = fopen("/dev/null", "r");
  ASSERT_TRUE(file && readOnly);
  InstallContext context;
  initInstallContext(context);
  int32_t result = 0;
  std::string console = captureStdout([&] { result = readFloppyPart(context, file, readOnly); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(console.back(), '\n');
  fclose(file);
  fclose(readOnly);
}

TEST(FloppyProgressBar, drawsFrameThenOnlyGrowingFills) {
  ProgressBar bar;
  initProgress(bar, 10, 4);
  std::string out = captureStdout([&] {
    updateProgress(bar, 4);  // before the frame: nothing
    finishProgress(bar);     // nor a newline
    drawFrame(bar);
    stepProgress(bar);       // 1 * 10 / 4 = 2 cells
    stepProgress(bar);       // 5
    updateProgress(bar, 1);  // fewer than shown: nothing
    stepProgress(bar);       // 7
    stepProgress(bar);       // 10
    stepProgress(bar);       // beyond total: limited, nothing new
    completeProgress(bar);   // already full
    finishProgress(bar);
  });
  EXPECT_EQ(out, "[          ]\r[##\r[#####\r[#######\r[##########\n");
  initProgress(bar, 3, 100);
  out = captureStdout([&] {
    drawFrame(bar);
    updateProgress(bar, 1);  // 0 cells: nothing
    completeProgress(bar);
  });
  EXPECT_EQ(out, "[   ]\r[###");
}

TEST(FloppyOrdinalWord, namesTheFloppiesAsTheOperatorCountsThem) {
  std::string words;
  for (unsigned n : {1u, 2u, 3u, 4u, 0u, 11u, 12u, 13u, 21u, 22u, 23u, 101u, 4294967295u})
    words += std::string(ordinalWord(n)) + " ";
  EXPECT_EQ(words, "1st 2nd 3rd 4th 0th 11th 12th 13th 21th 22th 23th 101th 4294967295th ");
}

// ---- memory ----

namespace {

size_t peakHeld = 0;

// Heap bytes in use, large (mapped) blocks included.
size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

ssize_t sampleOnWrite(void*, const char*, size_t size) {
  peakHeld = std::max(peakHeld, heapInUse());
  return static_cast<ssize_t>(size);
}

}  // namespace

TEST(FloppyReaderMemory, holdsOnePayloadAndOneGroup) {
  FloppySetLayout layout;  // the writer's defaults: a full 1.44 MB floppy
  layout.setId = 42;
  std::mt19937 rng(1);
  FILE* file = fileWith(buildFloppySet(layout, randomBytes(rng, 1300000)).at(0));
  cookie_io_functions_t io = {nullptr, sampleOnWrite, nullptr, nullptr};
  FILE* stream = fopencookie(nullptr, "w", io);
  ASSERT_TRUE(file && stream);
  setvbuf(stream, nullptr, _IONBF, 0);  // every piece reaches the sampler
  InstallContext context;
  initInstallContext(context);
  size_t base = heapInUse();
  if (base == 0) GTEST_SKIP() << "malloc statistics not available (sanitizer build)";
  peakHeld = base;
  int32_t result = 0;
  captureStdout([&] { result = readFloppyPart(context, file, stream); });
  ASSERT_EQ(result, 1300000);
  size_t held = peakHeld - base;
  size_t group = size_t{layout.blockSize} * layout.groupBlocks;
  printf("reader held %zu bytes for a %d-byte part (group %zu bytes)\n", held, result, group);
  EXPECT_GE(held, size_t{1300000});
  // Payload, group, the group's pointer arrays and malloc's own bookkeeping.
  EXPECT_LE(held, size_t{1300000} + group + 8192);
  fclose(stream);
  fclose(file);
}
