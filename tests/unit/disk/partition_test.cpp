// Partitioning, formatting and mounting against stand-in tools that record what they were
// given, and a platform that fails chosen mounts: the exact table lines, the mke2fs calls and
// the order of the mount tries.
#include "disk/partition.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "core/signals.h"
#include "disk/disk_tools.h"
#include "disk/drives.h"
#include "platform/platform.h"
#include "support/scratch_dir.h"

namespace {

constexpr uint32_t kOldIdeCylinderBytes = 16 * 63 * 512;
constexpr uint32_t kLbaCylinderBytes = 255 * 63 * 512;

HardDrive makeDrive(const char* device, uint32_t cylinders, uint32_t cylinderBytes) {
  HardDrive drive;
  memset(&drive, 0, sizeof drive);
  strcpy(drive.device, device);
  setGeometry(drive, cylinders, cylinderBytes);
  return drive;
}

class StandInTools : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch.path().empty());
    strcpy(logTerminalPath, "/dev/null");
    savedSfdisk = sfdiskProgram;
    savedMke2fs = mke2fsProgram;
    sfdisk = scratch.file("sfdisk");
    mke2fs = scratch.file("mke2fs");
    sfdiskProgram = sfdisk.c_str();
    mke2fsProgram = mke2fs.c_str();
    // "-d" prints the dump file; "-q" records its arguments and its input.
    ASSERT_TRUE(writeScript(
        sfdisk, "if [ \"$1\" = -d ]; then echo \"$*\" >'" + scratch.file("dump-args") + "'; cat '" +
                    scratch.file("dump") + "'; exit 0; fi\necho \"$*\" >'" +
                    scratch.file("table-args") + "'\ncat >'" + scratch.file("table") + "'\n"));
    ASSERT_TRUE(writeFile(scratch.file("dump"), ""));
    mke2fsFails("");
  }
  void TearDown() override {
    sfdiskProgram = savedSfdisk;
    mke2fsProgram = savedMke2fs;
  }

  // The stand-in mke2fs appends its arguments to "formats" and fails for the device `failing`.
  void mke2fsFails(const std::string& failing) {
    ASSERT_TRUE(writeScript(mke2fs, "echo \"$*\" >>'" + scratch.file("formats") +
                                        "'\nfor a; do last=$a; done\n[ \"$last\" != '" + failing +
                                        "' ]\n"));
  }

  void oldTableEntries(int count) {
    std::string dump = "# partition table of /dev/hda\nunit: sectors\n\n";
    for (int i = 1; i <= count; i++) {
      dump += "/dev/hda" + std::to_string(i) + " : start=0, size=0, Id= 0\n";
    }
    ASSERT_TRUE(writeFile(scratch.file("dump"), dump));
  }

  ScratchDir scratch;
  std::string sfdisk;
  std::string mke2fs;
  const char* savedSfdisk = nullptr;
  const char* savedMke2fs = nullptr;
};

TEST_F(StandInTools, twoPartitionTableEmptiesTheRestOfAFourEntryTable) {
  oldTableEntries(4);
  ASSERT_TRUE(partitionDrive(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("dump-args")), "-d -uC /dev/hda\n");
  EXPECT_EQ(readFile(scratch.file("table-args")), "-q -uC /dev/hda\n");
  EXPECT_EQ(readFile(scratch.file("table")), "0,21,83,*\n21,1003,83,-\n0,0,0\n0,0,0\n");
}

TEST_F(StandInTools, onePartitionTableEmptiesThreeOldEntries) {
  oldTableEntries(4);
  ASSERT_TRUE(partitionDrive(makeDrive("/dev/hda", 1023, kOldIdeCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("table")), "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n");
}

TEST_F(StandInTools, blankDiskGetsNoEmptyingLines) {
  ASSERT_TRUE(partitionDrive(makeDrive("/dev/sda", 1044, kLbaCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("table")), "0,2,83,*\n2,1042,83,-\n");
}

TEST_F(StandInTools, onlyLinesThatStartWithDevCountAsOldEntries) {
  std::string dump = "/dev/hda1 : start=63\n" + std::string(300, 'x') + "/dev/hda9\n" +
                     "  /dev/hda2\n#/dev/hda3\n/dev/hda4 : start=0\n";
  ASSERT_TRUE(writeFile(scratch.file("dump"), dump));
  ASSERT_TRUE(partitionDrive(makeDrive("/dev/hda", 10, kLbaCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("table")), "0,10,83,*\n0,0,0\n");
}

TEST_F(StandInTools, driveWithoutCylinderSizeIsNotPartitioned) {
  HardDrive drive = makeDrive("/dev/hda", 2000, 0);
  EXPECT_FALSE(partitionDrive(drive));
  drive = makeDrive("/dev/hda", 1030, 512);  // 10 MiB of boot would take the whole disk
  EXPECT_FALSE(partitionDrive(drive));
  EXPECT_EQ(readFile(scratch.file("table")), "<missing>");
}

TEST_F(StandInTools, formatsByTheFlags) {
  struct Case {
    HardDrive drive;
    const char* formats;
  };
  const Case cases[] = {
      {makeDrive("/dev/hda", 100, kLbaCylinderBytes), "-j /dev/hda1\n"},
      {makeDrive("/dev/hda", 5, kLbaCylinderBytes), "/dev/hda1\n"},
      {makeDrive("/dev/hdb", 1024, kOldIdeCylinderBytes), "/dev/hdb1\n-j /dev/hdb2\n"},
      {makeDrive("/dev/hdb", 1024, 512), "/dev/hdb1\n/dev/hdb2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.formats);
    (void)unlink(scratch.file("formats").c_str());
    EXPECT_TRUE(formatDrive(c.drive));
    EXPECT_EQ(readFile(scratch.file("formats")), c.formats);
  }
}

TEST_F(StandInTools, failedFirstFormatLeavesTheSecondAlone) {
  mke2fsFails("/dev/hda1");
  EXPECT_FALSE(formatDrive(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("formats")), "/dev/hda1\n");
  (void)unlink(scratch.file("formats").c_str());
  mke2fsFails("/dev/hda2");
  EXPECT_FALSE(formatDrive(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("formats")), "/dev/hda1\n-j /dev/hda2\n");
}

TEST_F(StandInTools, partitionPathsAreCutTo79Characters) {
  HardDrive drive = makeDrive("/dev/hda", 5, kLbaCylinderBytes);
  memset(drive.device, 'd', sizeof drive.device - 1);  // 31 characters: the path fits
  EXPECT_TRUE(formatDrive(drive));
  EXPECT_EQ(readFile(scratch.file("formats")), std::string(31, 'd') + "1\n");
}

// Mounts succeed only for the "source type" pairs in `working`; every call is written down.
class ChosenMounts : public Platform {
 public:
  ChosenMounts() { setPlatform(this); }
  ~ChosenMounts() override { setPlatform(nullptr); }
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void*) override {
    calls.push_back(std::string("mount ") + source + " " + target + " " + type + " " +
                    std::to_string(flags));
    if (working.count(std::string(source) + " " + type)) return 0;
    errno = EINVAL;
    return -1;
  }
  int umount(const char* target) override {
    calls.push_back(std::string("umount ") + target);
    return 0;
  }
  int reboot(int) override { return -1; }
  int loadModule(const void*, size_t, const char*) override { return -1; }
  void sync() override { calls.push_back("sync"); }

  std::set<std::string> working;
  std::vector<std::string> calls;
};

TEST_F(StandInTools, oldOnePartitionExt2DiskMountsAtTheFourthTry) {
  ChosenMounts mounts;
  mounts.working = {"/dev/hda1 ext2"};
  EXPECT_TRUE(mountTarget(makeDrive("/dev/hda", 100, kLbaCylinderBytes), "/mnt", true));
  EXPECT_EQ(mounts.calls, (std::vector<std::string>{
                              "mount /dev/hda2 /mnt ext3 0", "mount /dev/hda1 /mnt ext3 0",
                              "mount /dev/hda2 /mnt ext2 0", "mount /dev/hda1 /mnt ext2 0"}));
}

TEST_F(StandInTools, twoPartitionRootGetsItsBootPartition) {
  ChosenMounts mounts;
  mounts.working = {"/dev/hda2 ext3", "/dev/hda1 ext2"};
  std::string point = scratch.file("target");
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  EXPECT_TRUE(mountTarget(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes), point.c_str(), true));
  EXPECT_EQ(mounts.calls, (std::vector<std::string>{"mount /dev/hda2 " + point + " ext3 0",
                                                    "mount /dev/hda1 " + point + "/boot ext2 0"}));
  struct stat status;
  ASSERT_EQ(stat((point + "/boot").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

TEST_F(StandInTools, rootWithoutBootWhenNotAsked) {
  ChosenMounts mounts;
  mounts.working = {"/dev/hda2 ext2"};
  EXPECT_TRUE(mountTarget(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes), "/mnt", false));
  EXPECT_EQ(mounts.calls.back(), "mount /dev/hda2 /mnt ext2 0");
  EXPECT_EQ(mounts.calls.size(), 3u);
}

TEST_F(StandInTools, unmountableBootPartitionUnmountsTheRootAgain) {
  ChosenMounts mounts;
  mounts.working = {"/dev/hda2 ext3"};
  std::string point = scratch.file("target");
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  EXPECT_FALSE(mountTarget(makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes), point.c_str(), true));
  EXPECT_EQ(mounts.calls.back(), "umount " + point);
}

TEST_F(StandInTools, nothingMountableFails) {
  ChosenMounts mounts;
  EXPECT_FALSE(mountTarget(makeDrive("/dev/hda", 100, kLbaCylinderBytes), "/mnt", true));
  EXPECT_EQ(mounts.calls.size(), 4u);
}

}  // namespace
