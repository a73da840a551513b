// The floppy installation flow's decisions inside a chroot (root): a scripted floppy drive (a
// fake platform whose mount puts the inserted floppy's files into "/floppy"), Enter keys on a
// pipe, part files from the set writer and a real installer child. A wrong floppy, an empty
// drive and a bad floppy (unreadable part file, or refused by the reader) are asked for again;
// a refused payload or the end of console input are fatal. Declining the erase ends the flow
// before anything is written (no root needed).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "flows/flows.h"
#include "support/disk_stand_ins.h"
#include "support/fake_platform.h"
#include "support/package_builder.h"
#include "support/pty_harness.h"
#include "support/scratch_dir.h"
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

// The drive: each mount takes the next insertion of the script and writes its files into
// "/floppy"; umount removes them. Runs inside the chroot.
class ScriptedFloppyDrive : public FakePlatform {
 public:
  explicit ScriptedFloppyDrive(std::vector<Insertion> script) : script_(std::move(script)) {
    umountResult = 0;
  }
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override {
    FakePlatform::mount(source, target, type, flags, data);  // only records the call
    errno = ENXIO;
    if (next_ >= script_.size()) return -1;
    if (failed_ < script_[next_].mountFailures) {
      if (++failed_ == kFloppyMountTries) {  // the flow gives up on this floppy
        ++next_;
        failed_ = 0;
      }
      return -1;
    }
    mounted_ = script_[next_++].files;
    failed_ = 0;
    for (const FloppyFile& file : mounted_) {
      std::string path = std::string(target) + "/" + file.name;
      bool made = file.symlinkLoop
                      ? symlink(path.c_str(), path.c_str()) == 0
                      : writeFile(path, std::string(file.bytes.begin(), file.bytes.end()));
      if (!made) return -1;
    }
    return 0;
  }
  int umount(const char* target) override {
    for (const FloppyFile& file : mounted_) unlink((std::string(target) + "/" + file.name).c_str());
    mounted_.clear();
    return FakePlatform::umount(target);
  }

 private:
  std::vector<Insertion> script_;
  size_t next_ = 0;
  int failed_ = 0;
  std::vector<FloppyFile> mounted_;
};

struct FlowRun {
  int exitCode = -1;  // 0: installFloppySet returned true, 1: false
  std::string console;
  std::string calls;  // the drive's mount and umount calls
};

class FloppyFlowSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chroot into the test's floppy world";
  }
  // Runs installFloppySet in a forked child chrooted into the scratch root (with "/floppy" and
  // "/mnt"), with `enterKeys` Enter presses on standard input and the drive following `script`.
  FlowRun run(std::vector<Insertion> script, int enterKeys);
  ScratchDir scratch;
};

FlowRun FloppyFlowSandbox::run(std::vector<Insertion> script, int enterKeys) {
  const std::string& root = scratch.path();
  FlowRun run;
  mkdir((root + "/floppy").c_str(), 0755);
  mkdir((root + "/mnt").c_str(), 0755);
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
    int console = open((root + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (dup2(keys[0], 0) < 0 || console < 0 || dup2(console, 1) < 0) _exit(3);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(4);
    ScriptedFloppyDrive drive(std::move(script));
    installSignalHandlers();
    snprintf(logTerminalPath, sizeof logTerminalPath, "/log.txt");
    writeFile("/log.txt", "");
    TerminalState terminal;
    consoleTerminal = &terminal;
    InstallContext context;
    initInstallContext(context);
    bool installed = installFloppySet(context);
    fflush(stdout);
    std::string calls;
    for (const std::string& call : drive.calls) calls += call + "\n";
    writeFile("/calls.txt", calls);
    _exit(installed ? 0 : 1);
  }
  close(keys[0]);
  // A flow that waits forever is a failure, not a hung test run.
  int status = 0;
  for (int waited = 0; child > 0 && waited < 2000 && run.exitCode == -1; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child) {
      run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    usleep(10000);
  }
  if (child > 0 && run.exitCode == -1) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  run.console = readFile(root + "/console.txt");
  run.calls = readFile(root + "/calls.txt");
  return run;
}

// The lines an operator reads in the flow's dialogue, in order, without the progress bar.
std::vector<std::string> dialogue(const std::string& console) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < console.size(); start = end + 1) {
    end = std::min(console.find('\n', start), console.size());
    std::string line = console.substr(start, end - start);
    for (const char* wanted : {"Please insert", "ERROR", "FATAL", "Wrong floppy!", "Installing"}) {
      if (line.rfind(wanted, 0) == 0) lines.push_back(line);
    }
  }
  return lines;
}

Insertion floppyWith(unsigned index, const Bytes& part, int mountFailures = 0) {
  char name[16];
  snprintf(name, sizeof name, "trenavox.n%02u", index);
  return {{{name, part, false}}, mountFailures};
}

const Insertion kEmptyDrive{{}, 2};
const std::string kSecond = "Please insert 2nd installation floppy.";
const std::string kThird = "Please insert 3rd installation floppy.";
const std::string kBadFloppy = "ERROR: bad floppy, please replace it.";
const std::string kFatal = "FATAL ERROR: Installation error";

}  // namespace

TEST_F(FloppyFlowSandbox, wrongEmptyUnreadableAndRefusedFloppiesAreAskedForAgain) {
  std::mt19937 rng(20261206);
  std::string alphaConf(2200, '\0'), betaConf(1500, '\0');
  for (char& c : alphaConf) c = static_cast<char>(rng());
  for (char& c : betaConf) c = static_cast<char>(rng());
  auto package = [](const std::string& name, const std::string& conf) {
    TestPackage package;
    package.name = name;
    package.directories = {"etc"};
    package.files = {{"etc/" + name + ".conf", conf}};
    return buildTestPackage(package);
  };
  std::string stream = package("alpha", alphaConf) + package("beta", betaConf);
  FloppySetLayout layout;
  layout.blockSize = 64;
  layout.groupBlocks = 8;
  layout.setId = 0xF10999;
  uint64_t perPart = 2 * 7 * 60;  // two parts' worth of groups of seven 60-byte data blocks
  layout.partFileLimit = kSetHeaderSize + (stream.size() + perPart - 1) / perPart * 8 * 64;
  auto parts = buildFloppySet(layout, Bytes(stream.begin(), stream.end()));
  ASSERT_EQ(parts.size(), 2u);
  Bytes twoBad = parts[1];
  for (size_t block : {0, 1}) twoBad.at(kSetHeaderSize + block * layout.blockSize + 7) ^= 0x40;

  FlowRun result = run({{{{"vmlinuz", Bytes(100, 1), false}}, 0},  // the boot floppy left in
                        floppyWith(0, parts[0], 1),  // mounts at the second try after the change
                        kEmptyDrive,
                        {{{"trenavox.n01", Bytes(), true}}, 0},  // opening it fails (ELOOP)
                        floppyWith(1, twoBad),
                        floppyWith(1, parts[1])},
                       6);
  ASSERT_EQ(result.exitCode, 0) << result.console;
  std::vector<std::string> expected = {kSecond,
                                       "Wrong floppy!",
                                       kSecond,
                                       "Installing part 1 of 2...",
                                       kThird,
                                       "ERROR: No floppy, or bad floppy",
                                       kThird,
                                       kBadFloppy,
                                       kThird,
                                       "Installing part 2 of 2...",
                                       kBadFloppy,
                                       kThird,
                                       "Installing part 2 of 2..."};
  EXPECT_EQ(dialogue(result.console), expected) << result.console;
  EXPECT_EQ(readFile(scratch.file("mnt/etc/alpha.conf")), alphaConf);
  EXPECT_EQ(readFile(scratch.file("mnt/etc/beta.conf")), betaConf);
  // Set floppies are mounted read-only, and every one that mounted is unmounted again.
  std::string mount = "mount /dev/fd0 /floppy vfat 1\n";
  std::string umount = "umount /floppy\n";
  EXPECT_EQ(result.calls, mount + umount + mount + mount + umount + mount + mount + mount + umount +
                              mount + umount + mount + umount);
}

TEST_F(FloppyFlowSandbox, refusedPayloadOrEndOfConsoleInputEndsTheFlow) {
  std::mt19937 rng(5);
  FloppySetLayout layout;
  layout.setId = 8;
  Bytes garbage(3000);
  for (auto& b : garbage) b = static_cast<uint8_t>(rng());
  const struct {
    std::vector<Insertion> script;
    std::vector<std::string> expected;
  } cases[] = {
      {{floppyWith(0, buildFloppySet(layout, garbage).at(0))},
       {kSecond, "Installing part 1 of 1...", kFatal}},
      {{kEmptyDrive}, {kSecond, "ERROR: No floppy, or bad floppy", kSecond, kFatal}},
  };
  for (const auto& c : cases) {
    FlowRun result = run(c.script, 1);
    EXPECT_EQ(result.exitCode, 1) << result.console;
    EXPECT_EQ(dialogue(result.console), c.expected) << result.console;
  }
}

TEST_F(StandInTools, declinedEraseEndsTheFloppyFlowBeforeAnythingIsWritten) {
  ASSERT_TRUE(writeScript(sfdisk, "echo \"$*\" >>" + scratch.file("sfdisk.log") +
                                      "\necho '/dev/hda: 100 cylinders, 16 heads, 63 sectors'"));
  ASSERT_TRUE(writeScript(mke2fs, "touch " + scratch.file("mke2fs.log")));
  PtyResult run = runOnPty(
      [] {
        FakePlatform fake;
        consoleTerminal = new TerminalState();
        installSignalHandlers();
        InstallContext context;
        initInstallContext(context);
        return runFloppyInstall(context) ? 1 : fake.calls.empty() ? 0 : 2;
      },
      {{{"configuration?  [y/n]:", "n"}, {"Continue? [y/n]:", "n"}}});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(readFile(scratch.file("sfdisk.log")), "-g\n");
  EXPECT_EQ(readFile(scratch.file("mke2fs.log")), "<missing>");
}
