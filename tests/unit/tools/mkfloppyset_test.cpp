// mkfloppyset as media makers and the VM tests run it: its options, its refusals, reproducible
// part files that the installer's reader takes back, and FAT floppy images holding them.
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "base/context.h"
#include "flows/floppy_reader.h"
#include "support/pty_harness.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

const std::string kTool = std::string(TRENAVOX_BINARY_DIR) + "/tools/mkfloppyset/mkfloppyset";

struct ToolRun {
  int exitCode;
  std::string output;
};

ToolRun runTool(const std::string& arguments) {
  std::string out =
      hostCommandOutput(TRENAVOX_RUN_PREFIX + kTool + " " + arguments + " 2>&1; echo =$?");
  size_t status = out.rfind('=');
  return {atoi(out.c_str() + status + 1), out.substr(0, status)};
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Every part of the set in `outDir`, read in order with the installer's reader.
std::string readSet(const std::string& outDir, size_t parts) {
  InstallContext context;
  initInstallContext(context);
  std::string all;
  for (size_t i = 0; i < parts; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/trenavox.n%02zu", i);
    FILE* file = fopen((outDir + name).c_str(), "r");
    FILE* stream = tmpfile();
    if (!file || !stream) return "";
    int32_t result = 0;
    captureStdout([&] { result = readFloppyPart(context, file, stream); });
    fclose(file);
    if (result <= 0) return "";
    rewind(stream);
    int c;
    while ((c = fgetc(stream)) != EOF) all.push_back(static_cast<char>(c));
    fclose(stream);
  }
  return all;
}

class MkFloppySet : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  ScratchDir dir_;
};

}  // namespace

TEST_F(MkFloppySet, helpDescribesTheCommandLineAndBadLayoutsAreRefused) {
  ToolRun run = runTool("--help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.rfind("Usage: mkfloppyset [options] -o OUTDIR payload.qpk...\n", 0), 0u);
  EXPECT_NE(run.output.find("--parity-blocks N"), std::string::npos) << run.output;
  // Layouts the reader would refuse are usage errors (2), like a missing payload.
  ASSERT_TRUE(writeFile(path("p"), std::string(10, '\1')));
  for (const char* options : {"--block-size 4", "--block-size 65536", "--group-blocks 1",
                              "--parity-blocks 16", "--block-size 16385 --group-blocks 64",
                              "--set-id xyz", "--set-id 123456789", "--capacity 100"}) {
    run = runTool(std::string(options) + " -o " + path("out") + " " + path("p"));
    EXPECT_EQ(run.exitCode, 2) << options << ": " << run.output;
  }
  EXPECT_EQ(runTool("-o " + path("out")).exitCode, 2);
  // Payloads that are empty or missing fail (1).
  ASSERT_TRUE(writeFile(path("empty"), ""));
  EXPECT_EQ(runTool("-o " + path("out") + " " + path("empty")).exitCode, 1);
  EXPECT_EQ(runTool("-o " + path("out") + " " + path("missing")).exitCode, 1);
}

TEST_F(MkFloppySet, sameSetIdGivesTheSamePartsThatReadBackAsTheConcatenatedPayload) {
  std::string a = randomBytes(3000, 99), b = randomBytes(2500, 98);
  ASSERT_TRUE(writeFile(path("a.qpk"), a));
  ASSERT_TRUE(writeFile(path("b.qpk"), b));
  std::string options = "--set-id 00C0FFEE --block-size 100 --group-blocks 5 --capacity 2532 ";
  std::string payloads = " " + path("a.qpk") + " " + path("b.qpk");
  ToolRun first = runTool(options + "-o " + path("one") + payloads);
  ASSERT_EQ(runTool(options + "-o " + path("two") + payloads).exitCode, 0);
  ASSERT_EQ(first.exitCode, 0) << first.output;
  // 2532 bytes hold 5 groups of 4 x 96 payload bytes: 1920 per part, so 5500 bytes need 3.
  EXPECT_EQ(first.output.rfind("set 00C0FFEE: 3 parts, 5500 payload bytes\n", 0), 0u)
      << first.output;
  for (const char* name : {"/trenavox.n00", "/trenavox.n01", "/trenavox.n02"}) {
    std::string one = readFile(path("one") + name);
    EXPECT_NE(one, "<missing>") << name;
    EXPECT_LE(one.size(), 2532u);
    EXPECT_EQ(one, readFile(path("two") + name)) << name;
  }
  EXPECT_EQ(readSet(path("one"), 3), a + b);
  // Without --set-id each run draws its own.
  ToolRun three = runTool("-o " + path("three") + payloads);
  ToolRun four = runTool("-o " + path("four") + payloads);
  ASSERT_EQ(three.exitCode + four.exitCode, 0);
  EXPECT_NE(three.output.substr(0, 12), four.output.substr(0, 12));
}

TEST_F(MkFloppySet, imagesAreFatFloppiesHoldingThePartFile) {
  if (system("PATH=$PATH:/sbin; { command -v mkfs.fat && command -v mcopy; } >/dev/null")) {
    GTEST_SKIP() << "dosfstools and mtools are needed for floppy images";
  }
  std::string payload = randomBytes(1600000, 5);  // two floppies with the default layout
  ASSERT_TRUE(writeFile(path("p"), payload));
  ToolRun run = runTool("--set-id 1 --images -o " + path("out") + " " + path("p"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  for (const char* name : {"trenavox.n00", "trenavox.n01"}) {
    std::string image = path("out") + "/" + name + ".img";
    EXPECT_EQ(readFile(image).size(), 1474560u) << name;
    std::string copy = path(std::string("copy-") + name);
    std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + image + "' ::" + name + " '" + copy + "' 2>&1";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    EXPECT_EQ(readFile(copy), readFile(path("out") + "/" + name)) << name;
  }
  EXPECT_EQ(readSet(path("out"), 2), payload);
}
