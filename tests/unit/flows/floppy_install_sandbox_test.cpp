// The floppy installation flow's decisions inside a chroot (root): a scripted floppy drive (a
// fake platform whose mount puts the inserted floppy's files into "/floppy"), Enter keys on a
// pipe, part files from the set writer and a real installer child confined to /mnt. A wrong
// floppy, an empty drive and a bad floppy (unreadable part file, or refused by the reader) are
// asked for again; a refused payload or the end of console input are fatal. The installer
// child's writes fail once it stops or dies, and one that cannot change root installs nothing.
// Declining the erase ends the flow before anything is written (no root needed).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
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
#include "stream/package_stream.h"
#include "support/disk_stand_ins.h"
#include "support/fake_platform.h"
#include "support/pty_harness.h"
#include "support/qpk_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"
#include "support/wait_status.h"
#include "tui/terminal.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What one mount finds in the drive: a floppy with one file, or nothing that mounts (name
// empty). The driver fails the first mount after a medium change, an empty drive both tries.
struct Floppy {
  std::string name;
  Bytes bytes;
  bool symlinkLoop = false;  // the file is a symlink to itself: opening fails with ELOOP
};
const Floppy kNoMount{};

// The drive: each mount takes the next entry of the script and puts its file into "/floppy";
// umount removes it. Runs inside the chroot.
class ScriptedFloppyDrive : public FakePlatform {
 public:
  explicit ScriptedFloppyDrive(std::vector<Floppy> script) : script_(std::move(script)) {
    umountResult = 0;
  }
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override {
    FakePlatform::mount(source, target, type, flags, data);  // only records the call
    const Floppy floppy = next_ < script_.size() ? script_[next_++] : kNoMount;
    path_ = std::string(target) + "/" + floppy.name;
    errno = ENXIO;
    if (floppy.name.empty()) return -1;
    bool made = floppy.symlinkLoop
                    ? symlink(path_.c_str(), path_.c_str()) == 0
                    : writeFile(path_, std::string(floppy.bytes.begin(), floppy.bytes.end()));
    return made ? 0 : -1;
  }
  int umount(const char* target) override {
    unlink(path_.c_str());
    return FakePlatform::umount(target);
  }

 private:
  std::vector<Floppy> script_;
  size_t next_ = 0;
  std::string path_;
};

struct FlowRun {
  int status = -1;  // raw wait status; installFloppySet's result is the exit code (0: true)
  std::string console;
  std::string calls;  // the drive's mount and umount calls
};

class FloppyFlowSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chroot into the test's floppy world";
    ASSERT_TRUE(root.addDirectory("/floppy") && root.addDirectory("/mnt") &&
                root.addDirectory("/proc") && root.addDirectory("/dev/host"));
  }
  // Runs installFloppySet chrooted into the root, with `enterKeys` Enter presses on standard
  // input (then its end) and the drive following `script`.
  FlowRun run(std::vector<Floppy> script, int enterKeys) {
    int keys[2];
    std::string enters(static_cast<size_t>(enterKeys), '\n');
    if (pipe(keys) != 0 || write(keys[1], enters.data(), enters.size()) != enterKeys) return {};
    close(keys[1]);
    ChildRun child = runInStagedRoot(
        root,
        [&] {
          dup2(keys[0], 0);
          ScriptedFloppyDrive drive(std::move(script));
          installSignalHandlers();
          snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/host/null");
          consoleTerminal = new TerminalState();
          InstallContext context;
          initInstallContext(context);
          bool installed = installFloppySet(context);
          printf("CALLS\n");
          for (const std::string& call : drive.calls) printf("%s\n", call.c_str());
          return installed ? 0 : 1;
        },
        20);
    close(keys[0]);
    size_t calls = std::min(child.out.rfind("CALLS\n"), child.out.size());
    return {child.status, child.out.substr(0, calls), child.out.substr(calls + 6)};
  }
  ScratchDir scratch;
  StagedRoot root{scratch.path()};
};

// The lines an operator reads in the flow's dialogue, in order, without the progress bar.
std::string dialogue(const std::string& console) {
  std::string lines;
  for (size_t start = 0, end; start < console.size(); start = end + 1) {
    end = std::min(console.find('\n', start), console.size());
    std::string line = console.substr(start, end - start);
    for (const char* wanted : {"Please insert", "ERROR", "FATAL", "Wrong floppy!", "Installing"}) {
      if (line.rfind(wanted, 0) == 0) lines += line + "\n";
    }
  }
  return lines;
}

bool writeBytes(FILE* installer, const std::string& bytes) {
  return writePackageBytes(installer, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Floppy floppyWith(unsigned index, const Bytes& part) {
  return {"trenavox.n0" + std::to_string(index), part};
}

const std::string kSecond = "Please insert 2nd installation floppy.\n";
const std::string kThird = "Please insert 3rd installation floppy.\n";
const std::string kNoFloppy = "ERROR: No floppy, or bad floppy\n";
const std::string kBadFloppy = "ERROR: bad floppy, please replace it.\n";
const std::string kFatal = "FATAL ERROR: Installation error\n";

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

  // The boot floppy left in; the driver's failure after the change; an empty drive; a part
  // file that fails to open (ELOOP); a part the reader refuses; the right one.
  std::vector<Floppy> script = {{"vmlinuz", Bytes(100, 1)},
                                kNoMount,
                                floppyWith(0, parts[0]),
                                kNoMount,
                                kNoMount,
                                {"trenavox.n01", {}, true},
                                floppyWith(1, twoBad),
                                floppyWith(1, parts[1])};
  FlowRun result = run(script, 6);
  ASSERT_EQ(result.status, 0) << result.console;
  EXPECT_EQ(dialogue(result.console),
            kSecond + "Wrong floppy!\n" + kSecond + "Installing part 1 of 2...\n" + kThird +
                kNoFloppy + kThird + kBadFloppy + kThird + "Installing part 2 of 2...\n" +
                kBadFloppy + kThird + "Installing part 2 of 2...\n");
  EXPECT_EQ(readFile(root.hostPath("/mnt/etc/alpha.conf")), alphaConf);
  EXPECT_EQ(readFile(root.hostPath("/mnt/etc/beta.conf")), betaConf);
  EXPECT_NE(access(root.hostPath("/var").c_str(), F_OK), 0);  // the child was confined to /mnt
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
    std::vector<Floppy> script;
    std::string expected;
  } cases[] = {
      {{floppyWith(0, buildFloppySet(layout, garbage).at(0))},
       kSecond + "Installing part 1 of 1...\n" + kFatal},
      {{kNoMount, kNoMount}, kSecond + kNoFloppy + kSecond + kFatal},
  };
  for (const auto& c : cases) {
    FlowRun result = run(c.script, 1);
    EXPECT_TRUE(exitedWith(result.status, 1)) << result.console;
    EXPECT_EQ(dialogue(result.console), c.expected) << result.console;
  }
}

// A child that stops reading (the stream is no package) or dies makes the writes fail instead
// of blocking, never kills the parent, and never looks like success.
TEST_F(FloppyFlowSandbox, installerWritesFailOnceTheChildStopsOrDies) {
  std::string noise(1 << 20, '\0');
  std::mt19937 rng(9);
  for (char& c : noise) c = static_cast<char>(rng());
  ChildRun run = runInStagedRoot(root, [&] {
    installSignalHandlers();
    FILE* installer = startPackageInstaller();
    if (!installer || writeBytes(installer, std::string(256 * 1024, 'g'))) return 1;
    if (errno != EPIPE || closePackageInstaller(installer)) return 2;
    installer = startPackageInstaller();
    pid_t child = pipedChild;
    if (!installer || !writeBytes(installer, noise.substr(0, 8 * kCopyPieceSize))) return 3;
    kill(child, SIGKILL);
    if (writeBytes(installer, noise.substr(8 * kCopyPieceSize)) || errno != EPIPE) return 4;
    if (closePackageInstaller(installer) || pipedChild != -1) return 5;
    return waitpid(child, nullptr, WNOHANG) == -1 ? 0 : 6;  // reaped by closeTool or SIGCHLD
  });
  EXPECT_EQ(run.status, 0);
}

TEST_F(FloppyFlowSandbox, installerChildThatCannotChangeRootFailsAndInstallsNothing) {
  chmod(scratch.path().c_str(), 0777);  // an unconfined child could install into the root
  TestPackage package;
  package.name = "unconfined";
  std::string stream = buildTestPackage(package);
  ChildRun run = runInStagedRoot(root, [&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
    installSignalHandlers();
    FILE* installer = startPackageInstaller();
    if (!installer) return 2;
    (void)writeBytes(installer, stream);
    return closePackageInstaller(installer) ? 3 : 0;
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(access(root.hostPath("/var").c_str(), F_OK), 0);
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
