// The floppy set reader against sets written by mkfloppyset's core: round trips over random
// layouts and payloads, every single-block damage repaired, every double one refused with
// nothing streamed, the header rules, the progress bar's bytes and the memory it holds.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/context.h"
#include "core/floppy_install.h"
#include "core/floppy_reader.h"
#include "core/signals.h"
#include "floppy_writer.h"
#include "support/pty_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A regular, unlinked file holding `bytes`, positioned at its start.
FILE* fileWith(const Bytes& bytes) {
  FILE* f = tmpfile();
  if (!f) return nullptr;
  if (!bytes.empty() && fwrite(bytes.data(), bytes.size(), 1, f) != 1) {
    fclose(f);
    return nullptr;
  }
  rewind(f);
  return f;
}

Bytes contentsOf(FILE* f) {
  fflush(f);
  rewind(f);
  Bytes out;
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  return out;
}

struct ReadOutcome {
  int32_t result;
  Bytes streamed;       // what reached the installer stream
  std::string console;  // what the reader wrote on standard output
};

// Reads one part file with `context`, as the floppy flow does, into a temporary stream.
ReadOutcome readPart(InstallContext& context, const Bytes& part) {
  ReadOutcome outcome{0, {}, {}};
  FILE* file = fileWith(part);
  FILE* stream = tmpfile();
  if (!file || !stream) {
    ADD_FAILURE() << "no temporary files";
    if (file) fclose(file);
    if (stream) fclose(stream);
    return outcome;
  }
  outcome.console = captureStdout([&] { outcome.result = readFloppyPart(context, file, stream); });
  outcome.streamed = contentsOf(stream);
  fclose(file);
  fclose(stream);
  return outcome;
}

InstallContext freshContext() {
  InstallContext context;
  initInstallContext(context);
  return context;
}

Bytes randomBytes(std::mt19937& rng, size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

uint32_t seedForRun() {
  const char* fixed = getenv("FLOPPY_TEST_SEED");
  if (fixed) return static_cast<uint32_t>(strtoul(fixed, nullptr, 0));
  return std::random_device()();
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

uint32_t groupsIn(const Bytes& part, const FloppySetLayout& layout) {
  return static_cast<uint32_t>((part.size() - kSetHeaderSize) /
                               (size_t{layout.blockSize} * layout.groupBlocks));
}

// Sends the log terminal's lines to a temporary file for the life of the object.
class LogTerminalCapture {
 public:
  LogTerminalCapture() {
    memcpy(saved_, logTerminalPath, sizeof saved_);
    snprintf(path_, sizeof path_, "/tmp/floppy-log-XXXXXX");
    int fd = mkstemp(path_);
    if (fd >= 0) close(fd);
    snprintf(logTerminalPath, sizeof logTerminalPath, "%s", path_);
  }
  ~LogTerminalCapture() {
    memcpy(logTerminalPath, saved_, sizeof saved_);
    unlink(path_);
  }
  std::string text() const {
    FILE* f = fopen(path_, "r");
    std::string out;
    if (!f) return out;
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
    fclose(f);
    return out;
  }
  void clear() const {
    FILE* f = fopen(path_, "w");
    if (f) fclose(f);
  }

 private:
  char saved_[sizeof logTerminalPath];
  char path_[sizeof logTerminalPath];
};

Bytes slice(const Bytes& payload, uint64_t offset, uint64_t size) {
  return Bytes(payload.begin() + offset, payload.begin() + offset + size);
}

}  // namespace

TEST(FloppyRoundTrip, randomLayoutsAndPayloadsComeBackWhole) {
  uint32_t seed = seedForRun();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLOPPY_TEST_SEED to repeat)");
  std::mt19937 rng(seed);
  for (int run = 0; run < 60; ++run) {
    FloppySetLayout layout;
    layout.blockSize = inRange(rng, 5, 3000);
    layout.groupBlocks = inRange(rng, 2, 48);
    layout.parityBlocks = inRange(rng, 0, 3) == 0 ? 0 : 1;
    if (layout.parityBlocks >= layout.groupBlocks) layout.groupBlocks = layout.parityBlocks + 1;
    layout.setId = rng();
    uint64_t groupBytes = uint64_t{layout.blockSize} * layout.groupBlocks;
    layout.partFileLimit = kSetHeaderSize + groupBytes * inRange(rng, 1, 5) + rng() % groupBytes;
    Bytes payload = randomBytes(rng, inRange(rng, 1, 120000));
    SCOPED_TRACE("run " + std::to_string(run) + ": block " + std::to_string(layout.blockSize) +
                 ", group " + std::to_string(layout.groupBlocks) + ", parity " +
                 std::to_string(layout.parityBlocks) + ", payload " +
                 std::to_string(payload.size()));
    auto parts = buildFloppySet(layout, payload);
    ASSERT_FALSE(parts.empty());
    if (parts.size() > 40) continue;  // keep the run short; the layout was still built

    InstallContext context = freshContext();
    Bytes streamed;
    for (size_t i = 0; i < parts.size(); ++i) {
      ASSERT_EQ(headerPartCount(context.header), i == 0 ? 1u : parts.size());
      ReadOutcome outcome = readPart(context, parts[i]);
      ASSERT_GT(outcome.result, 0) << "part " << i;
      ASSERT_EQ(static_cast<size_t>(outcome.result), outcome.streamed.size());
      streamed.insert(streamed.end(), outcome.streamed.begin(), outcome.streamed.end());
    }
    EXPECT_EQ(headerPartCount(context.header), parts.size());
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
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLOPPY_TEST_SEED to repeat)");
  std::mt19937 rng(seed);
  FloppySetLayout layout = smallLayout(c.blockSize, c.groupBlocks, 1, c.groupsPerPart);
  Bytes payload = randomBytes(rng, c.payloadSize);
  auto parts = buildFloppySet(layout, payload);
  ASSERT_FALSE(parts.empty());
  LogTerminalCapture log;
  uint32_t dataBlocks = layout.groupBlocks - 1;

  uint64_t offset = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    uint32_t partSize = loadLe32(parts[p].data() + 4);
    Bytes expected = slice(payload, offset, partSize);
    offset += partSize;
    uint32_t groups = groupsIn(parts[p], layout);
    for (uint32_t g = 0; g < groups; ++g) {
      for (uint32_t b = 0; b < layout.groupBlocks; ++b) {
        SCOPED_TRACE("part " + std::to_string(p) + " group " + std::to_string(g) + " block " +
                     std::to_string(b));
        Bytes damaged = parts[p];
        damageBlock(damaged, layout, g * layout.groupBlocks + b, rng);
        log.clear();
        InstallContext context = freshContext();
        ReadOutcome outcome = readPart(context, damaged);
        ASSERT_EQ(outcome.result, static_cast<int32_t>(partSize));
        ASSERT_EQ(outcome.streamed, expected);
        std::string notice =
            b < dataBlocks ? "Recovering bad block #" + std::to_string(b) + "\n" : std::string();
        ASSERT_EQ(log.text(), notice);

        for (uint32_t other = b + 1; other < layout.groupBlocks; ++other) {
          SCOPED_TRACE("and block " + std::to_string(other));
          Bytes twice = damaged;
          damageBlock(twice, layout, g * layout.groupBlocks + other, rng);
          InstallContext again = freshContext();
          ReadOutcome refused = readPart(again, twice);
          ASSERT_EQ(refused.result, 0);
          ASSERT_TRUE(refused.streamed.empty());
        }
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

struct ParityCase {
  const char* name;
  uint32_t parityBlocks;
  uint32_t damagedBlock;  // within the first group
  bool accepted;
};

class FloppyParityRules : public ::testing::TestWithParam<ParityCase> {};

TEST_P(FloppyParityRules, onlyOneXorBlockRepairsData) {
  const ParityCase& c = GetParam();
  std::mt19937 rng(7);
  FloppySetLayout layout = smallLayout(40, 6, c.parityBlocks, 3);
  Bytes payload = randomBytes(rng, 300);
  auto parts = buildFloppySet(layout, payload);
  ASSERT_EQ(parts.size(), 1u);
  damageBlock(parts[0], layout, c.damagedBlock, rng);
  LogTerminalCapture log;
  InstallContext context = freshContext();
  ReadOutcome outcome = readPart(context, parts[0]);
  if (c.accepted) {
    EXPECT_EQ(outcome.result, 300);
    EXPECT_EQ(outcome.streamed, payload);
  } else {
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(outcome.streamed.empty());
  }
  EXPECT_EQ(log.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, FloppyParityRules,
                         ::testing::Values(ParityCase{"noParityDataBlock", 0, 2, false},
                                           ParityCase{"twoParityDataBlock", 2, 1, false},
                                           ParityCase{"twoParityFirstParityBlock", 2, 4, true},
                                           ParityCase{"twoParityLastParityBlock", 2, 5, true}),
                         [](const ::testing::TestParamInfo<ParityCase>& info) {
                           return info.param.name;
                         });

// ---- header rules ----

namespace {

FloppySetLayout headerLayout() {
  return smallLayout(100, 4, 1, 10);
}

Bytes onePart(uint32_t setId, size_t payloadSize = 500) {
  FloppySetLayout layout = headerLayout();
  layout.setId = setId;
  std::mt19937 rng(setId);
  auto parts = buildFloppySet(layout, randomBytes(rng, payloadSize));
  return parts.at(0);
}

void put16(Bytes& part, size_t at, uint16_t v) {
  storeLe16(part.data() + at, v);
}
void put32(Bytes& part, size_t at, uint32_t v) {
  storeLe32(part.data() + at, v);
}

}  // namespace

struct HeaderCase {
  const char* name;
  void (*edit)(Bytes& part);
};

class FloppyHeaderRefusal : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FloppyHeaderRefusal, refusedHeaderLeavesTheAcceptedOneAndStreamsNothing) {
  InstallContext context = freshContext();
  Bytes first = onePart(0xAAAA0001);
  put16(first, floppy_header::kPartCount, 3);
  ASSERT_GT(readPart(context, first).result, 0);
  FloppySetHeader accepted = context.header;

  Bytes next = onePart(0xAAAA0001);
  put16(next, floppy_header::kPartCount, 3);
  put16(next, floppy_header::kPartIndex, 1);
  GetParam().edit(next);
  ReadOutcome outcome = readPart(context, next);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_TRUE(outcome.streamed.empty());
  EXPECT_EQ(outcome.console, "");  // refused before "Installing part"
  EXPECT_EQ(memcmp(context.header.bytes, accepted.bytes, kFloppyHeaderSize), 0);
  EXPECT_EQ(headerPartCount(context.header), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FloppyHeaderRefusal,
    ::testing::Values(
        HeaderCase{"wrongMagic", [](Bytes& p) { put32(p, 0, 0x72847298); }},
        HeaderCase{"otherSet", [](Bytes& p) { put32(p, floppy_header::kSetId, 0xBBBB0002); }},
        HeaderCase{"otherPartCount", [](Bytes& p) { put16(p, floppy_header::kPartCount, 1); }},
        HeaderCase{"shortHeader", [](Bytes& p) { p.resize(31); }},
        HeaderCase{"emptyFile", [](Bytes& p) { p.clear(); }},
        HeaderCase{"blockSizeFour", [](Bytes& p) { put16(p, floppy_header::kBlockSize, 4); }},
        HeaderCase{"blockSizeZero", [](Bytes& p) { put16(p, floppy_header::kBlockSize, 0); }},
        HeaderCase{"noDataBlocks", [](Bytes& p) { put16(p, floppy_header::kParityBlocks, 4); }},
        HeaderCase{"moreParityThanBlocks",
                   [](Bytes& p) { put16(p, floppy_header::kParityBlocks, 9); }},
        HeaderCase{"partSizeZero", [](Bytes& p) { put32(p, floppy_header::kPartSize, 0); }},
        HeaderCase{"partSizeBeyondFile",
                   [](Bytes& p) { put32(p, floppy_header::kPartSize, 0xFFFFFFF0u); }},
        HeaderCase{"partSizeOneGroupTooMany",
                   [](Bytes& p) { put32(p, floppy_header::kPartSize, 2 * 3 * 96 + 1); }},
        HeaderCase{"indexBeyondCount", [](Bytes& p) { put16(p, floppy_header::kPartIndex, 3); }}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

TEST(FloppyHeader, firstFloppyAcceptsAnySetIdAndLaterOnesMustMatch) {
  InstallContext context = freshContext();
  Bytes part = onePart(0x12345678);
  EXPECT_GT(readPart(context, part).result, 0);
  EXPECT_EQ(headerSetId(context.header), 0x12345678u);
  EXPECT_GT(readPart(context, part).result, 0);  // same set again: fine
  EXPECT_EQ(readPart(context, onePart(0x12345679)).result, 0);
}

TEST(FloppyHeader, rejectedFirstHeaderKeepsTheInitialPartCount) {
  InstallContext context = freshContext();
  Bytes part = onePart(1);
  put32(part, 0, 0);
  EXPECT_EQ(readPart(context, part).result, 0);
  EXPECT_EQ(headerPartCount(context.header), 1);
  EXPECT_EQ(headerMagic(context.header), 0u);
}

TEST(FloppyHeader, partIndexIsShownNotCompared) {
  InstallContext context = freshContext();
  Bytes part = onePart(9);
  put16(part, floppy_header::kPartCount, 4);
  put16(part, floppy_header::kPartIndex, 2);
  ReadOutcome outcome = readPart(context, part);
  EXPECT_EQ(outcome.result, 500);
  EXPECT_EQ(outcome.console.rfind("Installing part 3 of 4...\n", 0), 0u);
}

TEST(FloppyHeader, groupOfExactlyOneMebibyteIsAccepted) {
  FloppySetLayout layout = smallLayout(16384, 64, 1, 1);
  std::mt19937 rng(3);
  Bytes payload = randomBytes(rng, 5000);
  auto parts = buildFloppySet(layout, payload);
  ASSERT_EQ(parts.size(), 1u);
  InstallContext context = freshContext();
  ReadOutcome outcome = readPart(context, parts[0]);
  EXPECT_EQ(outcome.result, 5000);
  EXPECT_EQ(outcome.streamed, payload);
}

TEST(FloppyHeader, groupOverOneMebibyteIsRefusedEvenWhenTheFileHoldsIt) {
  FloppySetLayout layout = smallLayout(16384, 64, 1, 1);
  std::mt19937 rng(3);
  Bytes part = buildFloppySet(layout, randomBytes(rng, 5000)).at(0);
  put16(part, floppy_header::kBlockSize, 16385);
  part.resize(kSetHeaderSize + 16385 * 64);
  InstallContext context = freshContext();
  ReadOutcome outcome = readPart(context, part);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.console, "");

  put16(part, floppy_header::kBlockSize, 16384);  // the same file with the layout it was made for
  EXPECT_EQ(readPart(context, part).result, 5000);
}

TEST(FloppyHeader, trailingBytesAfterTheLastGroupAreIgnored) {
  Bytes part = onePart(5);
  part.insert(part.end(), 777, 0xEE);
  InstallContext context = freshContext();
  EXPECT_EQ(readPart(context, part).result, 500);
}

TEST(FloppyReader, truncatedPartIsRefusedWithNothingStreamed) {
  Bytes part = onePart(5);
  for (size_t cut : {part.size() - 1, part.size() - 5, size_t{33}, size_t{32}}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Bytes shortPart(part.begin(), part.begin() + cut);
    InstallContext context = freshContext();
    ReadOutcome outcome = readPart(context, shortPart);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(outcome.streamed.empty());
  }
}

TEST(FloppyReader, damageInTheLastGroupStreamsNothingOfTheEarlierOnes) {
  FloppySetLayout layout = headerLayout();
  std::mt19937 rng(11);
  Bytes payload = randomBytes(rng, 2000);
  Bytes part = buildFloppySet(layout, payload).at(0);
  uint32_t groups = groupsIn(part, layout);
  ASSERT_GT(groups, 2u);
  uint32_t first = (groups - 1) * layout.groupBlocks;
  damageBlock(part, layout, first, rng);
  damageBlock(part, layout, first + 3, rng);
  InstallContext context = freshContext();
  ReadOutcome outcome = readPart(context, part);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_TRUE(outcome.streamed.empty());
  EXPECT_EQ(outcome.console.back(), '\n');  // the bar's line is closed
}

TEST(FloppyReader, failedStreamWriteGivesMinusOne) {
  Bytes part = onePart(5);
  FILE* file = fileWith(part);
  FILE* readOnly = fopen("/dev/null", "r");
  ASSERT_TRUE(file && readOnly);
  InstallContext context = freshContext();
  int32_t result = 0;
  std::string console = captureStdout([&] { result = readFloppyPart(context, file, readOnly); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(console.back(), '\n');
  fclose(file);
  fclose(readOnly);
}

TEST(FloppyReader, consoleShowsTheHeadingFrameAndFullBar) {
  InstallContext context = freshContext();
  ReadOutcome outcome = readPart(context, onePart(5));
  std::string frame = "Installing part 1 of 1...\n[" + std::string(70, ' ') + "]";
  ASSERT_EQ(outcome.console.rfind(frame, 0), 0u);
  std::string full = "\r[" + std::string(70, '#') + "\n";
  ASSERT_GE(outcome.console.size(), full.size());
  EXPECT_EQ(outcome.console.substr(outcome.console.size() - full.size()), full);
}

TEST(FloppyReader, groupsInPartScalesByBlockSize) {
  InstallContext context = freshContext();
  storeLe16(context.header.bytes + floppy_header::kBlockSize, 100);
  storeLe16(context.header.bytes + floppy_header::kGroupBlocks, 4);
  storeLe16(context.header.bytes + floppy_header::kParityBlocks, 1);
  EXPECT_EQ(groupsInPart(context, 0), 0u);
  EXPECT_EQ(groupsInPart(context, 1), 1u);
  EXPECT_EQ(groupsInPart(context, 300), 1u);
  EXPECT_EQ(groupsInPart(context, 301), 2u);
  EXPECT_EQ(groupsInPart(context, 0xFFFFFFFFu), 14316558u);
}

TEST(FloppyReader, blockCrcIsTheCommonCrc32) {
  const char* text = "123456789";
  EXPECT_EQ(blockCrc(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(setBlockCrc(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

// ---- progress bar ----

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
  EXPECT_EQ(bar.steps, 5u);
  EXPECT_EQ(bar.shown, 10u);
  EXPECT_EQ(bar.drawn, 1);
}

TEST(FloppyProgressBar, completeFillsTheRest) {
  ProgressBar bar;
  initProgress(bar, 3, 100);
  std::string out = captureStdout([&] {
    drawFrame(bar);
    updateProgress(bar, 1);  // 0 cells: nothing
    completeProgress(bar);
  });
  EXPECT_EQ(out, "[   ]\r[###");
}

// ---- ordinal words ----

TEST(FloppyOrdinalWord, namesTheFloppiesAsTheOperatorCountsThem) {
  const struct {
    unsigned number;
    const char* text;
  } cases[] = {{1, "1st"},
               {2, "2nd"},
               {3, "3rd"},
               {4, "4th"},
               {0, "0th"},
               {11, "11th"},
               {12, "12th"},
               {13, "13th"},
               {21, "21th"},
               {22, "22th"},
               {23, "23th"},
               {101, "101th"},
               {4294967295u, "4294967295th"}};
  for (const auto& c : cases) EXPECT_STREQ(ordinalWord(c.number), c.text) << c.number;
}

TEST(FloppyOrdinalWord, nextCallOverwritesTheSharedBuffer) {
  const char* first = ordinalWord(5);
  const char* second = ordinalWord(6);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "6th");
  EXPECT_STREQ(ordinalWord(2), "2nd");
  EXPECT_STREQ(first, "6th");
}

// ---- memory ----

namespace {

size_t peakHeld = 0;
size_t baseHeld = 0;

// Heap bytes in use, large (mapped) blocks included.
size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

ssize_t sampleOnWrite(void*, const char*, size_t size) {
  size_t inUse = heapInUse();
  if (inUse > peakHeld) peakHeld = inUse;
  return static_cast<ssize_t>(size);
}

}  // namespace

TEST(FloppyReaderMemory, holdsOnePayloadAndOneGroup) {
  FloppySetLayout layout;  // the writer's defaults: a full 1.44 MB floppy
  layout.setId = 42;
  std::mt19937 rng(1);
  Bytes payload = randomBytes(rng, 1300000);
  Bytes part = buildFloppySet(layout, payload).at(0);
  FILE* file = fileWith(part);
  ASSERT_TRUE(file);
  cookie_io_functions_t io = {nullptr, sampleOnWrite, nullptr, nullptr};
  FILE* stream = fopencookie(nullptr, "w", io);
  ASSERT_TRUE(stream);
  setvbuf(stream, nullptr, _IONBF, 0);  // every piece reaches the sampler

  InstallContext context = freshContext();
  baseHeld = heapInUse();
  if (baseHeld == 0) GTEST_SKIP() << "malloc statistics not available (sanitizer build)";
  peakHeld = baseHeld;
  int32_t result = 0;
  captureStdout([&] { result = readFloppyPart(context, file, stream); });
  ASSERT_EQ(result, 1300000);
  size_t held = peakHeld - baseHeld;
  size_t group = size_t{layout.blockSize} * layout.groupBlocks;
  printf("reader held %zu bytes for a %d-byte part (group %zu bytes)\n", held, result, group);
  RecordProperty("heldBytes", static_cast<int>(held));
  EXPECT_GE(held, size_t{1300000});
  // Payload, group, the group's pointer arrays and malloc's own bookkeeping.
  EXPECT_LE(held, size_t{1300000} + group + 8192);
  fclose(stream);
  fclose(file);
}
