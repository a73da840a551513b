// Partitioning, formatting and mounting against stand-in tools that record what they were
// given, and a platform that fails chosen mounts: the exact table lines, the mke2fs calls and
// the order of the mount tries.
#include "disk/partition.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/platform.h"
#include "support/disk_stand_ins.h"
#include "support/fake_platform.h"

namespace {

class Partitioning : public StandInTools {
 protected:
  void SetUp() override {
    StandInTools::SetUp();
    // "-d" records its arguments and prints the dump file; "-q" records arguments and input.
    ASSERT_TRUE(writeScript(
        sfdisk, "if [ \"$1\" = -d ]; then echo \"$*\" >'" + scratch.file("dump-args") + "'; cat '" +
                    scratch.file("dump") + "'; exit 0; fi\necho \"$*\" >'" +
                    scratch.file("table-args") + "'\ncat >'" + scratch.file("table") + "'\n"));
    mke2fsFails("");
  }

  // The stand-in mke2fs appends its arguments to "formats" and fails for the device `failing`.
  void mke2fsFails(const std::string& failing) {
    (void)unlink(scratch.file("formats").c_str());
    ASSERT_TRUE(writeScript(mke2fs, "echo \"$*\" >>'" + scratch.file("formats") +
                                        "'\nfor a; do last=$a; done\n[ \"$last\" != '" + failing +
                                        "' ]\n"));
  }
};

std::string oldEntries(int count) {
  std::string dump = "# partition table of /dev/hda\nunit: sectors\n\n";
  for (int i = 1; i <= count; i++) dump += "/dev/hda" + std::to_string(i) + " : start=0\n";
  return dump;
}

TEST_F(Partitioning, tableLinesEmptyEveryOldEntryBeyondTheNewOnes) {
  struct Case {
    std::string dump;
    HardDrive drive;
    const char* table;
  } cases[] = {
      {oldEntries(4), makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes),
       "0,21,83,*\n21,1003,83,-\n0,0,0\n0,0,0\n"},
      {oldEntries(4), makeDrive("/dev/hda", 1023, kOldIdeCylinderBytes),
       "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n"},
      {"", makeDrive("/dev/sda", 1044, kLbaCylinderBytes), "0,2,83,*\n2,1042,83,-\n"},
      // Only lines that start with "/dev" are old entries.
      {"/dev/hda1 : start=63\n" + std::string(300, 'x') + "/dev/hda9\n  /dev/hda2\n#/dev/hda3\n" +
           "/dev/hda4 : start=0\n",
       makeDrive("/dev/hda", 10, kLbaCylinderBytes), "0,10,83,*\n0,0,0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    ASSERT_TRUE(writeFile(scratch.file("dump"), c.dump));
    ASSERT_TRUE(partitionDrive(c.drive));
    EXPECT_EQ(readFile(scratch.file("dump-args")), "-d -uC " + std::string(c.drive.device) + "\n");
    EXPECT_EQ(readFile(scratch.file("table-args")), "-q -uC " + std::string(c.drive.device) + "\n");
    EXPECT_EQ(readFile(scratch.file("table")), c.table);
  }
}

// A table the tool did not take (it read it all, then failed) must not be formatted blindly;
// a drive without room for its layout gets no table at all.
TEST_F(Partitioning, tableTheToolRefusedOrADriveWithoutRoomFailsPartitioning) {
  ASSERT_TRUE(writeFile(scratch.file("dump"), oldEntries(1)));
  ASSERT_TRUE(writeScript(
      sfdisk, "[ \"$1\" = -d ] && exit 0\ncat >'" + scratch.file("table") + "'\nexit 1\n"));
  EXPECT_FALSE(partitionDrive(makeDrive("/dev/hda", 10, kLbaCylinderBytes)));
  EXPECT_EQ(readFile(scratch.file("table")), "0,10,83,*\n");
  (void)unlink(scratch.file("table").c_str());
  EXPECT_FALSE(partitionDrive(makeDrive("/dev/hda", 2000, 0)));
  EXPECT_FALSE(partitionDrive(makeDrive("/dev/hda", 1030, 512)));  // the boot part takes it all
  EXPECT_EQ(readFile(scratch.file("table")), "<missing>");
}

// Formats partition by partition and stops at the first that fails.
TEST_F(Partitioning, formatsByTheFlagsAndStopsAtAFailure) {
  HardDrive longName = makeDrive("/dev/hda", 5, kLbaCylinderBytes);
  memset(longName.device, 'd', sizeof longName.device - 1);  // the partition path still fits
  const HardDrive oldIde = makeDrive("/dev/hdb", 1024, kOldIdeCylinderBytes);
  struct Case {
    HardDrive drive;
    const char* failing;
    std::string formats;
  } cases[] = {
      {makeDrive("/dev/hda", 100, kLbaCylinderBytes), "", "-j /dev/hda1\n"},
      {makeDrive("/dev/hda", 5, kLbaCylinderBytes), "", "/dev/hda1\n"},
      {oldIde, "", "/dev/hdb1\n-j /dev/hdb2\n"},
      {makeDrive("/dev/hdb", 1024, 512), "", "/dev/hdb1\n/dev/hdb2\n"},
      {longName, "", std::string(31, 'd') + "1\n"},
      {oldIde, "/dev/hdb1", "/dev/hdb1\n"},
      {oldIde, "/dev/hdb2", "/dev/hdb1\n-j /dev/hdb2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.formats);
    mke2fsFails(c.failing);
    EXPECT_EQ(formatDrive(c.drive), !*c.failing);
    EXPECT_EQ(readFile(scratch.file("formats")), c.formats);
  }
}

// Mounts succeed only for the "source type" pairs listed in `working`; every call is written
// down, with the scratch mount point shown as "P".
class ChosenMounts : public FakePlatform {
 public:
  ChosenMounts(const std::string& point, const char* working) : point_(point), working_(working) {}
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void*) override {
    calls += std::string("mount ") + source + " " + shown(target) + " " + type + " " +
             std::to_string(flags) + "\n";
    if (working_.find(std::string(source) + " " + type) != std::string::npos) return 0;
    errno = EINVAL;
    return -1;
  }
  int umount(const char* target) override {
    calls += "umount " + shown(target) + "\n";
    return 0;
  }

  std::string calls;

 private:
  std::string shown(const std::string& target) const {
    return target.rfind(point_, 0) == 0 ? "P" + target.substr(point_.size()) : target;
  }
  std::string point_;
  std::string working_;
};

TEST_F(Partitioning, mountTriesExt3ThenExt2AndUndoesAHalfMount) {
  const std::string point = scratch.file("target");
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  const std::string threeTries =
      "mount /dev/hda2 P ext3 0\nmount /dev/hda1 P ext3 0\nmount /dev/hda2 P ext2 0\n";
  const std::string allTries = threeTries + "mount /dev/hda1 P ext2 0\n";
  struct Case {
    uint32_t cylinders;
    const char* working;
    bool withBoot, mounted;
    std::string calls;
  } cases[] = {
      {100, "/dev/hda1 ext2", true, true, allTries},
      {1024, "/dev/hda2 ext3,/dev/hda1 ext2", true, true,
       "mount /dev/hda2 P ext3 0\nmount /dev/hda1 P/boot ext2 0\n"},
      {1024, "/dev/hda2 ext2", false, true, threeTries},
      {1024, "/dev/hda2 ext3", true, false,
       "mount /dev/hda2 P ext3 0\nmount /dev/hda1 P/boot ext2 0\numount P\n"},
      {100, "", true, false, allTries},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.working);
    ChosenMounts mounts(point, c.working);
    HardDrive drive = makeDrive("/dev/hda", c.cylinders,
                                c.cylinders > 1023 ? kOldIdeCylinderBytes : kLbaCylinderBytes);
    EXPECT_EQ(mountTarget(drive, point.c_str(), c.withBoot), c.mounted);
    EXPECT_EQ(mounts.calls, c.calls);
  }
  struct stat status;
  ASSERT_EQ(stat((point + "/boot").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

}  // namespace
