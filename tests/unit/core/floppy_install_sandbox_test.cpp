// The floppy installation flow end to end inside a chroot: a scripted floppy drive (a fake
// platform whose mount puts the inserted floppy's files into "/floppy"), Enter keys on a pipe,
// real part files from the set writer and a real installer child with the package library.
// Needs root for chroot.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/context.h"
#include "core/floppy_install.h"
#include "core/signals.h"
#include "floppy_writer.h"
#include "platform/platform.h"
#include "qpk_format.h"
#include "tui/terminal.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FloppyFile {
  std::string name;
  Bytes bytes;
  bool symlinkLoop = false;  // the name is a symlink to itself: opening fails with ELOOP
};

// One floppy put into the drive by the operator after a prompt.
struct Insertion {
  std::vector<FloppyFile> files;
  // Mount calls that fail before this floppy mounts: 1 is the driver's failure after a medium
  // change, 2 or more an empty drive or unreadable floppy (both tries fail).
  int mountFailures = 0;
};

// The drive: each prompt's mount takes the next insertion; mounting writes its files into
// "/floppy", unmounting removes them. Runs inside the chroot.
class ScriptedFloppyDrive : public Platform {
 public:
  explicit ScriptedFloppyDrive(std::vector<Insertion> script) : script_(std::move(script)) {}

  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override {
    char line[160];
    snprintf(line, sizeof line, "mount %s %s %s %lu %s\n", source, target, type, flags,
             data ? "data" : "null");
    calls += line;
    if (next_ >= script_.size()) {
      errno = ENXIO;
      return -1;
    }
    Insertion& insertion = script_[next_];
    if (failed_ < insertion.mountFailures) {
      ++failed_;
      if (failed_ == kFloppyMountTries) advance();  // the flow gives up on this floppy
      errno = ENXIO;
      return -1;
    }
    for (const FloppyFile& file : insertion.files) {
      std::string path = std::string(target) + "/" + file.name;
      if (file.symlinkLoop) {
        (void)symlink(path.c_str(), path.c_str());
        continue;
      }
      FILE* f = fopen(path.c_str(), "wb");
      if (!f) return -1;
      if (!file.bytes.empty()) (void)fwrite(file.bytes.data(), file.bytes.size(), 1, f);
      fclose(f);
    }
    mounted_ = insertion.files;
    advance();
    return 0;
  }
  int umount(const char* target) override {
    calls += std::string("umount ") + target + "\n";
    for (const FloppyFile& file : mounted_)
      (void)unlink((std::string(target) + "/" + file.name).c_str());
    mounted_.clear();
    return 0;
  }
  int reboot(int) override { return -1; }
  int loadModule(const void*, size_t, const char*) override { return -1; }
  void sync() override {}

  std::string calls;

 private:
  void advance() {
    ++next_;
    failed_ = 0;
  }
  std::vector<Insertion> script_;
  size_t next_ = 0;
  int failed_ = 0;
  std::vector<FloppyFile> mounted_;
};

struct FlowRun {
  int exitCode = -1;  // 0: installFloppySet returned true, 1: false
  std::string console;
  std::string log;    // the log terminal
  std::string calls;  // the drive's mount and umount calls
  std::string root;   // the chroot, for looking at what was installed
};

std::string readText(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return text;
  int c;
  while ((c = fgetc(f)) != EOF) text.push_back(static_cast<char>(c));
  fclose(f);
  return text;
}

void writeText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return;
  fputs(text.c_str(), f);
  fclose(f);
}

// Runs installFloppySet in a forked child chrooted into a fresh directory with "/floppy" and
// "/mnt", with `enterKeys` Enter presses on standard input and the drive following `script`.
FlowRun runFlow(std::vector<Insertion> script, int enterKeys) {
  FlowRun run;
  char rootTemplate[] = "/tmp/floppy-flow-XXXXXX";
  if (!mkdtemp(rootTemplate)) return run;
  run.root = rootTemplate;
  mkdir((run.root + "/floppy").c_str(), 0755);
  mkdir((run.root + "/mnt").c_str(), 0755);

  int keys[2];
  if (pipe(keys) != 0) return run;
  std::string enters(static_cast<size_t>(enterKeys), '\n');
  if (write(keys[1], enters.data(), enters.size()) != static_cast<ssize_t>(enters.size())) {
    return run;
  }
  close(keys[1]);  // after the scripted presses the console input ends

  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(keys[0], 0);
    close(keys[0]);
    int console = open((run.root + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (console < 0 || dup2(console, 1) < 0) _exit(3);
    close(console);
    if (chroot(run.root.c_str()) != 0 || chdir("/") != 0) _exit(4);
    ScriptedFloppyDrive drive(std::move(script));
    setPlatform(&drive);
    installSignalHandlers();
    snprintf(logTerminalPath, sizeof logTerminalPath, "/log.txt");
    TerminalState terminal;
    consoleTerminal = &terminal;
    InstallContext context;
    initInstallContext(context);
    bool installed = installFloppySet(context);
    fflush(stdout);
    writeText("/calls.txt", drive.calls);
    setPlatform(nullptr);
    _exit(installed ? 0 : 1);
  }
  close(keys[0]);
  if (child < 0) return run;

  // A flow that waits forever is a failure, not a hung test run.
  int status = 0;
  for (int waited = 0; waited < 200; ++waited) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (run.exitCode == -1) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  run.console = readText(run.root + "/console.txt");
  run.log = readText(run.root + "/log.txt");
  run.calls = readText(run.root + "/calls.txt");
  return run;
}

// The lines an operator reads in the flow's dialogue, in order, without the progress bar.
std::vector<std::string> dialogue(const std::string& console) {
  static const char* const kWanted[] = {"Please insert", "ERROR", "Wrong floppy!",
                                        "Installing part"};
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < console.size()) {
    size_t end = console.find('\n', start);
    if (end == std::string::npos) end = console.size();
    std::string line = console.substr(start, end - start);
    for (const char* wanted : kWanted) {
      if (line.find(wanted) == 0) lines.push_back(line);
    }
    start = end + 1;
  }
  return lines;
}

Bytes randomBytes(std::mt19937& rng, size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

void addEntry(QpkWriter* writer, const std::string& path, char type, const std::string& data) {
  TarEntry entry;
  entry.path = path;
  entry.type = type;
  entry.mode = type == kTarDirectory ? 0755 : 0644;
  entry.size = type == kTarRegular ? data.size() : 0;
  qpkWriteHeader(writer, entry);
  if (!data.empty()) qpkWriteData(writer, data.data(), data.size());
}

// One package holding etc/<name>.conf with `content`.
std::string makePackage(const std::string& name, const std::string& content) {
  std::string qpk;
  QpkWriter* writer = qpkWriterOpen(qpkWriteToString, &qpk, 6);
  PackageInfo info;
  info.name = name;
  info.version = "1.0";
  info.arch = "i386";
  info.description = "floppy flow test package";
  addEntry(writer, kPkgInfoName, kTarRegular, formatPkgInfo(info));
  addEntry(writer, "etc", kTarDirectory, "");
  addEntry(writer, "etc/" + name + ".conf", kTarRegular, content);
  qpkWriterClose(writer);
  return qpk;
}

std::string partName(unsigned index) {
  char name[16];
  snprintf(name, sizeof name, "trenavox.n%02u", index);
  return name;
}

Insertion floppyWith(unsigned index, const Bytes& part, int mountFailures = 0) {
  Insertion insertion;
  insertion.files.push_back({partName(index), part, false});
  insertion.mountFailures = mountFailures;
  return insertion;
}

void damage(Bytes& part, const FloppySetLayout& layout, uint32_t block) {
  part.at(kSetHeaderSize + size_t{block} * layout.blockSize + 7) ^= 0x40;
}

class FloppyFlowSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chroot into the test's floppy world";
  }
  void TearDown() override {
    for (const std::string& root : roots_) {
      std::string command = "rm -rf '" + root + "'";
      (void)system(command.c_str());
    }
  }
  FlowRun run(std::vector<Insertion> script, int enterKeys) {
    FlowRun result = runFlow(std::move(script), enterKeys);
    if (!result.root.empty()) roots_.push_back(result.root);
    return result;
  }

 private:
  std::vector<std::string> roots_;
};

}  // namespace

TEST_F(FloppyFlowSandbox, threePartSetInstallsThroughWrongEmptyAndDamagedFloppies) {
  std::mt19937 rng(20261206);
  Bytes alphaBytes = randomBytes(rng, 2200), betaBytes = randomBytes(rng, 1500);
  std::string alphaConf(alphaBytes.begin(), alphaBytes.end());
  std::string betaConf(betaBytes.begin(), betaBytes.end());
  std::string stream = makePackage("alpha", alphaConf) + makePackage("beta", betaConf);
  Bytes payload(stream.begin(), stream.end());

  FloppySetLayout layout;
  layout.blockSize = 64;
  layout.groupBlocks = 8;
  layout.setId = 0xF10999;
  uint64_t perGroup = 7 * 60;
  uint64_t groupsPerPart = (payload.size() + 3 * perGroup - 1) / (3 * perGroup);
  layout.partFileLimit = kSetHeaderSize + groupsPerPart * 8 * 64;
  auto parts = buildFloppySet(layout, payload);
  ASSERT_EQ(parts.size(), 3u);
  FloppySetLayout otherLayout = layout;
  otherLayout.setId = 0xF10998;
  auto otherSet = buildFloppySet(otherLayout, payload);

  Bytes twoBad = parts[1];
  damage(twoBad, layout, 0);
  damage(twoBad, layout, 1);
  Bytes oneBad = parts[2];
  damage(oneBad, layout, 8 + 2);  // group 1, data block 2

  Insertion bootFloppy;
  bootFloppy.files.push_back({"vmlinuz", Bytes(100, 1), false});
  Insertion emptyDrive;
  emptyDrive.mountFailures = 2;
  std::vector<Insertion> script = {
      bootFloppy,                  // left in the drive
      floppyWith(1, parts[1]),     // the second part when the first is wanted
      floppyWith(0, parts[0], 1),  // mounts at the second try after the change
      floppyWith(1, twoBad),       // beyond repair
      emptyDrive,                  //
      floppyWith(1, parts[1]),     //
      floppyWith(2, otherSet[2]),  // right name, other set
      floppyWith(2, oneBad),       // repaired on the way
  };
  FlowRun result = run(script, 8);
  ASSERT_EQ(result.exitCode, 0) << result.console;

  std::vector<std::string> expected = {
      "Please insert 2nd installation floppy.",
      "Wrong floppy!",
      "Please insert 2nd installation floppy.",
      "Wrong floppy!",
      "Please insert 2nd installation floppy.",
      "Installing part 1 of 3...",
      "Please insert 3rd installation floppy.",
      "Installing part 2 of 3...",
      "ERROR: bad floppy, please replace it.",
      "Please insert 3rd installation floppy.",
      "ERROR: No floppy, or bad floppy",
      "Please insert 3rd installation floppy.",
      "Installing part 2 of 3...",
      "Please insert 4th installation floppy.",
      "ERROR: bad floppy, please replace it.",
      "Please insert 4th installation floppy.",
      "Installing part 3 of 3...",
  };
  EXPECT_EQ(dialogue(result.console), expected) << result.console;
  EXPECT_EQ(result.log, "Recovering bad block #2\n");
  EXPECT_EQ(readText(result.root + "/mnt/etc/alpha.conf"), alphaConf);
  EXPECT_EQ(readText(result.root + "/mnt/etc/beta.conf"), betaConf);

  std::string mount = "mount /dev/fd0 /floppy vfat 0 null\n";
  std::string umount = "umount /floppy\n";
  std::string calls = mount + umount + mount + umount +  // two wrong floppies
                      mount + mount + umount +           // retry after the change, part 0
                      mount + umount +                   // damaged part 1
                      mount + mount +                    // empty drive
                      mount + umount +                   // part 1
                      mount + umount + mount + umount;   // other set, part 2
  EXPECT_EQ(result.calls, calls);
}

TEST_F(FloppyFlowSandbox, oneFloppySetAsksForTheSecondFloppyOnly) {
  std::string stream = makePackage("solo", "solo configuration\n");
  FloppySetLayout layout;
  layout.setId = 7;
  auto parts = buildFloppySet(layout, Bytes(stream.begin(), stream.end()));
  ASSERT_EQ(parts.size(), 1u);
  FlowRun result = run({floppyWith(0, parts[0])}, 1);
  ASSERT_EQ(result.exitCode, 0) << result.console;
  std::vector<std::string> expected = {"Please insert 2nd installation floppy.",
                                       "Installing part 1 of 1..."};
  EXPECT_EQ(dialogue(result.console), expected);
  EXPECT_EQ(readText(result.root + "/mnt/etc/solo.conf"), "solo configuration\n");
}

TEST_F(FloppyFlowSandbox, payloadThatThePackageLibraryRefusesFailsTheFlow) {
  std::mt19937 rng(5);
  FloppySetLayout layout;
  layout.setId = 8;
  auto parts = buildFloppySet(layout, randomBytes(rng, 3000));
  FlowRun result = run({floppyWith(0, parts[0])}, 1);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.console.find("\nFATAL ERROR: Installation error\n"), std::string::npos)
      << result.console;
}

TEST_F(FloppyFlowSandbox, endOfConsoleInputEndsTheWaitWithFailure) {
  Insertion emptyDrive;
  emptyDrive.mountFailures = 2;
  FlowRun result = run({emptyDrive, emptyDrive}, 2);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.console.find("\nFATAL ERROR: Installation error\n"), std::string::npos)
      << result.console;
}

TEST_F(FloppyFlowSandbox, partFileThatCannotBeOpenedFailsTheFlow) {
  Insertion looping;
  looping.files.push_back({"trenavox.n00", Bytes(), true});
  FlowRun result = run({looping}, 1);
  EXPECT_EQ(result.exitCode, 1);
  std::vector<std::string> expected = {"Please insert 2nd installation floppy."};
  EXPECT_EQ(dialogue(result.console), expected);
  EXPECT_NE(result.console.find("\nFATAL ERROR: Installation error\n"), std::string::npos);
}
