// mkfloppyset as media makers and the VM tests run it: its options, its refusals, reproducible
// part files that the installer's reader takes back, and FAT floppy images holding them.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/context.h"
#include "core/floppy_reader.h"
#include "support/pty_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kTool = std::string(TRENAVOX_BINARY_DIR) + "/tools/mkfloppyset/mkfloppyset";

struct ToolRun {
  int exitCode;
  std::string output;
};

ToolRun runTool(const std::string& arguments) {
  std::string command = kTool + " " + arguments + " 2>&1";
  ToolRun run{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
  int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

Bytes readBytes(const std::string& path) {
  Bytes bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return bytes;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  if (!bytes.empty()) fwrite(bytes.data(), bytes.size(), 1, f);
  fclose(f);
}

class MkFloppySet : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/mkfloppyset-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    dir_ = dir;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    (void)system(command.c_str());
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// Reads every part of the set in `outDir` with the installer's reader, in order.
Bytes readSet(const std::string& outDir, size_t parts) {
  InstallContext context;
  initInstallContext(context);
  Bytes all;
  for (size_t i = 0; i < parts; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/trenavox.n%02zu", i);
    FILE* file = fopen((outDir + name).c_str(), "r");
    FILE* stream = tmpfile();
    if (!file || !stream) return Bytes();
    int32_t result = 0;
    captureStdout([&] { result = readFloppyPart(context, file, stream); });
    fclose(file);
    if (result <= 0) return Bytes();
    rewind(stream);
    int c;
    while ((c = fgetc(stream)) != EOF) all.push_back(static_cast<uint8_t>(c));
    fclose(stream);
  }
  return all;
}

}  // namespace

TEST_F(MkFloppySet, helpDescribesTheCommandLine) {
  ToolRun run = runTool("--help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.rfind("Usage: mkfloppyset [options] -o OUTDIR payload.qpk...\n", 0), 0u);
  for (const char* option : {"--block-size N", "--group-blocks N", "--set-id HEX", "--images",
                             "--capacity BYTES", "--parity-blocks N"}) {
    EXPECT_NE(run.output.find(option), std::string::npos) << option;
  }
}

TEST_F(MkFloppySet, refusesLayoutsTheReaderWouldRefuse) {
  writeBytes(path("p"), Bytes(10, 1));
  const char* bad[] = {"--block-size 4",
                       "--block-size 65536",
                       "--group-blocks 1",
                       "--parity-blocks 16",
                       "--block-size 16385 --group-blocks 64",
                       "--set-id xyz",
                       "--set-id 123456789",
                       "--capacity 100"};
  for (const char* options : bad) {
    ToolRun run = runTool(std::string(options) + " -o " + path("out") + " " + path("p"));
    EXPECT_EQ(run.exitCode, 2) << options << ": " << run.output;
  }
  EXPECT_EQ(runTool("-o " + path("out")).exitCode, 2);  // no payload
  writeBytes(path("empty"), Bytes());
  EXPECT_EQ(runTool("-o " + path("out") + " " + path("empty")).exitCode, 1);
  EXPECT_EQ(runTool("-o " + path("out") + " " + path("missing")).exitCode, 1);
}

TEST_F(MkFloppySet, sameSetIdGivesTheSamePartsThatReadBackAsTheConcatenatedPayload) {
  std::mt19937 rng(99);
  Bytes a(3000), b(2500);
  for (auto& x : a) x = static_cast<uint8_t>(rng());
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  writeBytes(path("a.qpk"), a);
  writeBytes(path("b.qpk"), b);
  std::string options = "--set-id 00C0FFEE --block-size 100 --group-blocks 5 --capacity 2532 ";
  ToolRun first =
      runTool(options + "-o " + path("one") + " " + path("a.qpk") + " " + path("b.qpk"));
  ToolRun second =
      runTool(options + "-o " + path("two") + " " + path("a.qpk") + " " + path("b.qpk"));
  ASSERT_EQ(first.exitCode, 0) << first.output;
  ASSERT_EQ(second.exitCode, 0);
  // 2532 bytes hold 5 groups of 4 x 96 payload bytes: 1920 per part, so 5500 bytes need 3.
  EXPECT_EQ(first.output.rfind("set 00C0FFEE: 3 parts, 5500 payload bytes\n", 0), 0u)
      << first.output;
  for (const char* name : {"/trenavox.n00", "/trenavox.n01", "/trenavox.n02"}) {
    Bytes one = readBytes(path("one") + name);
    EXPECT_FALSE(one.empty()) << name;
    EXPECT_LE(one.size(), 2532u);
    EXPECT_EQ(one, readBytes(path("two") + name)) << name;
  }
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(readSet(path("one"), 3), expected);
}

TEST_F(MkFloppySet, randomSetIdsDifferBetweenRuns) {
  writeBytes(path("p"), Bytes(100, 7));
  ToolRun first = runTool("-o " + path("one") + " " + path("p"));
  ToolRun second = runTool("-o " + path("two") + " " + path("p"));
  ASSERT_EQ(first.exitCode, 0);
  ASSERT_EQ(second.exitCode, 0);
  EXPECT_NE(first.output.substr(0, 12), second.output.substr(0, 12));
}

TEST_F(MkFloppySet, imagesAreFatFloppiesHoldingThePartFile) {
  if (system("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null") != 0 &&
      system("test -x /sbin/mkfs.fat && command -v mcopy >/dev/null") != 0) {
    GTEST_SKIP() << "dosfstools and mtools are needed for floppy images";
  }
  std::mt19937 rng(5);
  Bytes payload(1600000);  // two floppies with the default layout
  for (auto& x : payload) x = static_cast<uint8_t>(rng());
  writeBytes(path("p"), payload);
  ToolRun run = runTool("--set-id 1 --images -o " + path("out") + " " + path("p"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  for (const char* name : {"trenavox.n00", "trenavox.n01"}) {
    std::string image = path("out") + "/" + name + ".img";
    EXPECT_EQ(readBytes(image).size(), 1474560u) << name;
    std::string copy = path(std::string("copy-") + name);
    std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + image + "' ::" + name + " '" + copy + "' 2>&1";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    EXPECT_EQ(readBytes(copy), readBytes(path("out") + "/" + name)) << name;
  }
  EXPECT_EQ(readSet(path("out"), 2), payload);
}
