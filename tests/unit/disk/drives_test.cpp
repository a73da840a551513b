// Drive detection against a stand-in sfdisk that prints a chosen geometry listing: which lines
// become drives, the layout flags a geometry gives, the labels, and what the operator sees.
#include "disk/drives.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "base/context.h"
#include "disk/disk_tools.h"
#include "support/disk_stand_ins.h"

namespace {

class DriveDetection : public StandInTools {
 protected:
  // The stand-in sfdisk prints `text` for "-g" and nothing else.
  void listing(const std::string& text) {
    ASSERT_TRUE(writeFile(scratch.file("listing"), text));
    ASSERT_TRUE(
        writeScript(sfdisk, "[ \"$*\" = -g ] || exit 1\ncat '" + scratch.file("listing") + "'\n"));
  }
};

TEST_F(DriveDetection, firstListedDriveIsTheTargetAndNoneIsFatal) {
  struct Case {
    const char* listing;
    bool found;
    const char* said;
  } cases[] = {
      {"/dev/hdc: 1024 cylinders, 16 heads, 63 sectors/track\n"
       "/dev/hda: 500 cylinders, 16 heads, 63 sectors/track\n",
       true, "Found harddrive as IDE Secondary master (disk E)\n"},
      {"/dev/hda: 100 cylinders, 0 heads, 0 sectors/track\nnothing here\n", false,
       "FATAL ERROR: no harddrives found\n"},
  };
  for (const Case& c : cases) {
    listing(c.listing);
    InstallContext context;
    initInstallContext(context);
    testing::internal::CaptureStdout();
    EXPECT_EQ(detectTargetDrive(context), c.found);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("\nLooking for harddrives...\n\n") + c.said);
    if (!c.found) continue;
    EXPECT_STREQ(context.targetDrive.device, "/dev/hdc");
    EXPECT_EQ(context.targetDrive.cylinders, 1024u);
    EXPECT_EQ(context.targetDrive.cylinderBytes, kOldIdeCylinderBytes);
    EXPECT_TRUE(context.targetDrive.twoPartitions && context.targetDrive.journaled);
  }
}

TEST_F(DriveDetection, recordsAtMostFourDrivesAndSkipsUnusableLines) {
  listing(
      "Disk list\n"
      "/dev/hda: 100 cylinders, 255 heads, 63 sectors/track\n"
      "/dev/hdb 200 cylinders, 255 heads, 63 sectors/track\n"    // no colon: taken unchanged
      "/dev/hdc: 300 cylinders, 0 heads, 63 sectors/track\n"     // no cylinder size
      " /dev/sda: 400 cylinders, 255 heads, 63 sectors/track\n"  // not at the line start
      "/dev/sdb: 500 cylinders, 255 heads, 63 sectors/track" +
      std::string(100, ' ') +
      "/dev/hdx: 5 cylinders, 255 heads, 63 sectors/track\n"
      "/dev/sdc: 600 cylinders, 255 heads, 63 sectors/track\n"
      "/dev/sdd: 700 cylinders, 255 heads, 63 sectors/track\n");  // the fifth
  HardDrive* drives = findHardDrives();
  ASSERT_NE(drives, nullptr);
  const char* devices[] = {"/dev/hda", "/dev/hdb", "/dev/sdb", "/dev/sdc"};
  for (int i = 0; i < kMaxDrives; i++) {
    EXPECT_STREQ(drives[i].device, devices[i]);
    EXPECT_EQ(drives[i].cylinders, 100u * (i + 1) + (i >= 2 ? 200u : 0u));
    EXPECT_EQ(drives[i].cylinderBytes, kLbaCylinderBytes);
  }
  // A second detection fills the table from its start again.
  listing("/dev/sdb: 7 cylinders, 255 heads, 63 sectors/track\n");
  drives = findHardDrives();
  ASSERT_NE(drives, nullptr);
  EXPECT_EQ(drives[0].cylinders, 7u);
  EXPECT_STREQ(drives[1].device, "");
  sfdiskProgram = "/nonexistent/sfdisk";
  EXPECT_EQ(findHardDrives(), nullptr);
}

TEST(GeometryLine, parsesTheToolsFormatAndRefusesUnusableDrives) {
  const std::string longName = "/dev/" + std::string(40, 'x') + ": 9 c, 255 h, 63 s\n";
  const std::string cutName = "/dev/" + std::string(26, 'x');  // 31 characters
  const struct {
    const char* line;
    bool usable;
    const char* device;
    uint32_t cylinders, cylinderBytes;
  } cases[] = {
      {"/dev/hda: 1023 cylinders, 16 heads, 63 sectors/track\n", true, "/dev/hda", 1023,
       kOldIdeCylinderBytes},
      {"/dev/hde 12 cylinders, 255 heads, 63 sectors/track", true, "/dev/hde", 12,
       kLbaCylinderBytes},
      {"/dev/x:: 1 c, 1 h, 1 s", true, "/dev/x:", 1, 512},  // only one colon goes
      {longName.c_str(), true, cutName.c_str(), 9, kLbaCylinderBytes},
      {"/dev/hda: 0 cylinders, 16 heads, 63 sectors/track", true, "/dev/hda", 0,
       kOldIdeCylinderBytes},
      {"/dev/hda: 10 cylinders, 0 heads, 63 sectors/track", false, "", 0, 0},
      {"/dev/hda: 10 cylinders, 4000000000 heads, 63 sectors/track", false, "", 0, 0},
      {"/dev/hda: 10 cylinders, 16 heads", false, "", 0, 0},
      {"dev/hda: 10 cylinders, 16 heads, 63 sectors/track", false, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    HardDrive drive;
    memset(&drive, 0, sizeof drive);
    EXPECT_EQ(parseGeometryLine(c.line, drive), c.usable);
    EXPECT_STREQ(drive.device, c.device);
    EXPECT_EQ(drive.cylinders, c.cylinders);
    EXPECT_EQ(drive.cylinderBytes, c.cylinderBytes);
  }
}

TEST(SetGeometry, flagsFollowCylindersAndSize) {
  const struct {
    uint32_t cylinders, cylinderBytes;
    uint8_t twoPartitions, journaled;
  } cases[] = {
      {1023, kOldIdeCylinderBytes, 0, 1},
      {1024, kOldIdeCylinderBytes, 1, 1},  // 528,482,304 bytes
      {80, 524288, 0, 0},                  // 40 MiB exactly stays ext2
      {81, 524288, 0, 1},
      {4000000, kLbaCylinderBytes, 1, 1},  // the size only fits in 64 bits
      {0, kLbaCylinderBytes, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cylinders << " x " << c.cylinderBytes);
    HardDrive drive;
    memset(&drive, 0xff, sizeof drive);
    setGeometry(drive, c.cylinders, c.cylinderBytes);
    EXPECT_EQ(drive.cylinders, c.cylinders);
    EXPECT_EQ(drive.cylinderBytes, c.cylinderBytes);
    EXPECT_EQ(drive.twoPartitions, c.twoPartitions);
    EXPECT_EQ(drive.journaled, c.journaled);
  }
}

TEST(DriveLabel, namesTheKnownSlotsAndEchoesOthers) {
  const char* const cases[][2] = {
      {"/dev/hda", "IDE Primary master (disk C)"},
      {"/dev/hdb", "IDE Primary slave (disk D)"},
      {"/dev/hdc", "IDE Secondary master (disk E)"},
      {"/dev/sda", "SATA 1"},
      {"/dev/sdd", "SATA 4"},
      {"/dev/hde", "/dev/hde"},
      {"/dev/hda1", "/dev/hda1"},
  };
  for (const auto& c : cases) EXPECT_STREQ(driveLabel(c[0]), c[1]) << c[0];
}

}  // namespace
