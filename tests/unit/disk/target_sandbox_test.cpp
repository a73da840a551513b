// What only real disks show of target preparation and post-install, on loop-backed disk images
// and run as on the medium: in a child with its own mount namespace, chrooted into a staged root
// (its "/mnt" is the scratch root's, never the machine's) with busybox, the medium's sfdisk
// (over the modern one), the real mke2fs and "/dev/hda" pointing at the loop device. Decisions
// and messages belong to the unit tests (target_test, partition_test). Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/context.h"
#include "base/le.h"
#include "base/platform.h"
#include "base/signals.h"
#include "disk/boot_files.h"
#include "disk/drives.h"
#include "disk/target.h"
#include "disk/tool_runner.h"
#include "support/console_text.h"
#include "support/log_terminal.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"
#include "support/wait_status.h"

namespace {

constexpr unsigned long long kMiB = 1024 * 1024;
constexpr unsigned long long kOldIdeCylinder = 16 * 63 * 512;
constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";

// Shell lines run in the child (busybox sh). The first copies what a test looks at from the
// new root to /results, which outlives the namespace.
const char kSaveTargetFiles[] =
    "(rm -f /results/*; grep ' /mnt' /proc/mounts | cut -d' ' -f1-3 >/results/mounts; "
    "cp /mnt/etc/fstab /mnt/etc/lilo.conf /results/; "
    "stat -c '%n %F %a' /mnt/proc /mnt/vela /mnt/vela/etc /mnt/var /mnt/var/pdb >/results/modes"
    ") 2>/dev/null";
// The kept configuration (trees and metadata are snapshot_test's): one nested file.
const char kBuildStore[] =
    "mkdir -p /mnt/vela/store/net && echo 127.0.0.1 >/mnt/vela/store/net/hosts";
const char kDescribeStore[] = "cat /mnt/vela/store/net/hosts >/results/store";
const char kDetected[] =
    "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n";
const char kBaseDirectories[] =
    "/mnt/proc directory 755\n/mnt/vela directory 755\n/mnt/vela/etc directory 755\n"
    "/mnt/var directory 755\n/mnt/var/pdb directory 755\n";

// The installer's own start: log terminal, signal handlers, context and drive detection.
bool startInstaller(InstallContext& context) {
  strcpy(logTerminalPath, "/dev/null");
  installSignalHandlers();
  initInstallContext(context);
  return detectTargetDrive(context);
}

// A first install without keeping anything; exits 3 when it failed.
int prepareAndSave() {
  InstallContext context;
  if (!startInstaller(context)) return 2;
  bool prepared = prepareTarget(context, false);
  (void)system(kSaveTargetFiles);
  return prepared ? 0 : 3;
}

class PreparedDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable =
        sandboxUnavailable({"losetup", "mke2fs", "sfdisk", "addpart", "delpart", "debugfs"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addCompatSfdisk(kCompatSfdisk));
    ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs"));
    ASSERT_TRUE(stage->addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")));
    ASSERT_TRUE(stage->addDirectory("/mnt"));
    ASSERT_TRUE(stage->addDirectory("/results", 0777));
  }

  // Attaches a fresh disk of `bytes` as the medium's "/dev/hda"; `geometry` is the compat
  // sfdisk's override ("16x63") or empty.
  void attachDisk(unsigned long long bytes, const std::string& geometry = "") {
    disk = std::make_unique<LoopDisk>(scratch.file("disk.img"), bytes);
    ASSERT_FALSE(disk->device().empty()) << "no loop device could be attached";
    for (const char* part : {"", "1", "2"}) {
      ASSERT_TRUE(stage->addSymlink(std::string("/dev/hda") + part,
                                    "host/" + disk->name() + (*part ? "p" : "") + part));
    }
    ASSERT_TRUE(
        stage->addFile("/etc/sfdisk-compat.conf",
                       "SFDISK_COMPAT_DEVICES=/dev/hda\n" +
                           (geometry.empty() ? "" : "SFDISK_COMPAT_GEOMETRY=" + geometry + "\n")));
  }

  std::string result(const std::string& name) {
    return readFile(stage->hostPath("/results/" + name));
  }

  // The table as the medium's sfdisk lists it, read on the host.
  std::string dumpTable() {
    return hostCommandOutput("SFDISK_COMPAT_CONF=/dev/null SFDISK_COMPAT_REAL='" +
                             hostProgram("sfdisk") + "' " + kCompatSfdisk + " -d -uC " +
                             disk->device());
  }

  ScratchDir scratch;
  std::unique_ptr<StagedRoot> stage;
  std::unique_ptr<LoopDisk> disk;
};

TEST_F(PreparedDisk, diskIsPartitionedFormattedAndMountedByItsLayout) {
  struct Layout {
    unsigned long long bytes;
    const char* geometry;
    const char* mounts;  // the first word is the root partition; ext3 is tried first
    const char* fstabHead;
    uint32_t firstSize;
    const char* secondEntry;
  } layouts[] = {
      // 4 cylinders, 32,901,120 bytes: under 40 MiB.
      {32 * kMiB, "", "/dev/hda1 /mnt ext2\n", "/dev/hda1  /     ext2 defaults 1 1\n", 64197,
       "start=        0, size=        0, Id= 0"},
      // More than 1023 cylinders: 21 cylinders of 516,096 bytes for /boot.
      {1030 * kOldIdeCylinder, "16x63", "/dev/hda2 /mnt ext3\n/dev/hda1 /mnt/boot ext2\n",
       "/dev/hda2  /     ext3 defaults 1 1\n/dev/hda1  /boot ext2 defaults 1 2\n", 21105,
       "start=    21168, size=  1017072, Id=83"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.mounts);
    attachDisk(layout.bytes, layout.geometry);
    ChildRun run = runInStagedRoot(*stage, prepareAndSave);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(withoutTickerDots(run.out),
              std::string(kDetected) + "Creating partition...\nFormatting disk...\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(result("mounts"), layout.mounts);
    EXPECT_EQ(result("fstab").substr(0, strlen(layout.fstabHead)), layout.fstabHead);
    EXPECT_NE(result("lilo.conf").find("root=" + std::string(layout.fstabHead, 9)),
              std::string::npos);
    EXPECT_EQ(result("modes"), kBaseDirectories);
    char first[64];
    snprintf(first, sizeof first, "start=       63, size=%9u, Id=83, bootable", layout.firstSize);
    const std::string none = "start=        0, size=        0, Id= 0";
    const std::string entries[] = {first, layout.secondEntry, none, none};
    std::string dump = "# partition table of " + disk->device() + "\nunit: sectors\n\n";
    for (int i = 0; i < 4; i++) {
      dump += disk->device() + "p" + std::to_string(i + 1) + " : " + entries[i] + "\n";
    }
    EXPECT_EQ(dumpTable(), dump);
    // Partitioning left our boot code in front of the new table, and zeros up to it: the modern
    // tool would stamp a disk identifier there.
    std::string sector = readFile(disk->device()).substr(0, kSectorSize);
    EXPECT_EQ(memcmp(sector.data(), masterBootCode, kBootCodeSize), 0);
    EXPECT_EQ(sector.substr(kBootCodeSize, kPartitionTableOffset - kBootCodeSize),
              std::string(kPartitionTableOffset - kBootCodeSize, '\0'));
    disk.reset();
  }
}

// A base directory the new file system already holds is named, and preparation goes on.
TEST_F(PreparedDisk, baseDirectoryThatExistsIsNamedAndPreparationGoesOn) {
  attachDisk(64 * kMiB);
  ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs.real"));
  ASSERT_TRUE(stage->addProgram(hostProgram("debugfs"), "/sbin/debugfs"));
  ASSERT_TRUE(stage->addFile("/sbin/mke2fs",
                             "#!/bin/sh\n/sbin/mke2fs.real \"$@\" || exit 1\nfor last; do :; done\n"
                             "/sbin/debugfs -w -R 'mkdir var' \"$last\" >/dev/null 2>&1\n",
                             0755));
  ChildRun run = runInStagedRoot(*stage, prepareAndSave);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "/var: File exists\n");
  EXPECT_EQ(result("modes"), kBaseDirectories);
}

// Installs the new system's post-install script and checker (staged under /newsystem) into the
// new root, runs post-install with the log terminal on a pipe, then mounts the root again to
// look. The pipe sits above the descriptors a tool's child closes, and each tool opens it by
// its /proc name.
int runPostInstall(InstallContext& context) {
  int ends[2];
  if (system("cp -a /newsystem/. /mnt/") != 0 || pipe(ends) != 0) return 10;
  int writer = fcntl(ends[1], F_DUPFD, 20);
  close(ends[1]);
  LogTerminal logTerminal("/proc/self/fd/" + std::to_string(writer));
  int unmounted = postInstall(context);
  close(writer);
  std::string log;
  char buffer[4096];
  for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;) log.append(buffer, got);
  // Without the shells' complaints (bash notices that its working directory lies outside the
  // confining root; the probe's failure).
  (void)writeFile("/results/log.raw", log);
  (void)system("grep -v -e ^shell-init: -e ^/sbin/fsck: /results/log.raw >/results/log");
  (void)system("grep ' /mnt' /proc/mounts >/results/mounts-after");
  if (platform().mount("/dev/hda1", "/mnt", "ext3", 0, nullptr) != 0) return 12;
  (void)system("cp /mnt/postinstall.out /mnt/fsck-probe /results/ 2>/dev/null");
  (void)platform().umount("/mnt");
  return unmounted == 0 ? 0 : 13;
}

// A first install that keeps finds nothing and says nothing; a reinstall that keeps brings the
// configuration back. Then the new system's script runs confined to the new root, the check
// finds it read-only, and nothing stays mounted.
TEST_F(PreparedDisk, keptConfigurationComesBackAndPostInstallRunsConfinedOnAReadOnlyRoot) {
  StagedRoot newSystem(stage->hostPath("/newsystem"));
  ASSERT_TRUE(newSystem.addProgram("/bin/bash", "/bin/bash"));
  ASSERT_TRUE(newSystem.addFile(
      "/etc/rc.d/rc.postinstall",
      "#!/bin/bash\necho postinstall ran\necho confined >/postinstall.out\nexit 1\n", 0755));
  ASSERT_TRUE(newSystem.addFile("/sbin/fsck",
                                "#!/bin/bash\necho \"fsck $*\"\n"
                                "if (: >/fsck-probe); then echo root writable; "
                                "else echo root read-only; fi\n",
                                0755));
  attachDisk(64 * kMiB);
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context) || !prepareTarget(context, true)) return 2;
    if (system(kBuildStore) != 0 || system(kDescribeStore) != 0) return 3;
    (void)system("mv /results/store /results/before");
    (void)platform().umount("/mnt");
    puts("-- reinstall");
    if (!prepareTarget(context, true) || system(kDescribeStore) != 0) return 4;
    fflush(stdout);
    // A confining root that is not there starts nothing.
    if (!exitedWith(runCommand("/no-such-root", "/bin/sh", "-c", "exit 0", nullptr), 127)) return 5;
    return runPostInstall(context);
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out),
            std::string(kDetected) +
                "Creating partition...\nFormatting disk...\n-- reinstall\n"
                "Reading old configuration...\nCreating partition...\nFormatting disk...\n"
                "Writing back old configuration...\nChecking disk integrity...\n");
  EXPECT_EQ(result("before"), "127.0.0.1\n");
  EXPECT_EQ(result("store"), "127.0.0.1\n");
  EXPECT_EQ(result("log"), "postinstall ran\nfsck -d -v\nroot read-only\n");
  EXPECT_EQ(result("postinstall.out"), "confined\n");
  EXPECT_EQ(result("fsck-probe"), "<missing>");
  EXPECT_EQ(result("mounts-after"), "");
}

}  // namespace
