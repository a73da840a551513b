// The boot-loader configuration, the file-system table and the "/.nofsck" marker, compared
// byte for byte with the texts the new system reads.
#include "disk/boot_files.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "disk/drives.h"
#include "support/scratch_dir.h"

namespace {

HardDrive makeDrive(const char* device, uint32_t cylinders, uint32_t cylinderBytes) {
  HardDrive drive;
  memset(&drive, 0, sizeof drive);
  strcpy(drive.device, device);
  setGeometry(drive, cylinders, cylinderBytes);
  return drive;
}

mode_t modeOf(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

struct BootFilesCase {
  const char* name;
  HardDrive drive;
  const char* liloConf;
  const char* fstab;
  bool nofsck;
};

TEST(BootFiles, goldenTextsForEachLayout) {
  const BootFilesCase cases[] = {
      {"two partitions, journaled", makeDrive("/dev/hda", 1024, 16 * 63 * 512),
       "boot=/dev/hda1\n"
       "map=/boot/map\n"
       "install=/boot/boot.b\n"
       "lba32\n"
       "image=/boot/vmlinuz\n"
       "  label=System\n"
       "  root=/dev/hda2\n"
       "  read-only\n",
       "/dev/hda2  /     ext3 defaults 1 1\n"
       "/dev/hda1  /boot ext2 defaults 1 2\n"
       "none /proc proc defaults 0 0\n"
       "none /dev/pts devpts gid=5,mode=620 0 0\n",
       true},
      {"one partition, ext2", makeDrive("/dev/hda", 4, 255 * 63 * 512),
       "boot=/dev/hda1\n"
       "map=/boot/map\n"
       "install=/boot/boot.b\n"
       "lba32\n"
       "image=/boot/vmlinuz\n"
       "  label=System\n"
       "  root=/dev/hda1\n"
       "  read-only\n",
       "/dev/hda1  /     ext2 defaults 1 1\n"
       "none /proc proc defaults 0 0\n"
       "none /dev/pts devpts gid=5,mode=620 0 0\n",
       false},
      {"one partition, journaled", makeDrive("/dev/sdb", 66, 255 * 63 * 512),
       "boot=/dev/sdb1\n"
       "map=/boot/map\n"
       "install=/boot/boot.b\n"
       "lba32\n"
       "image=/boot/vmlinuz\n"
       "  label=System\n"
       "  root=/dev/sdb1\n"
       "  read-only\n",
       "/dev/sdb1  /     ext3 defaults 1 1\n"
       "none /proc proc defaults 0 0\n"
       "none /dev/pts devpts gid=5,mode=620 0 0\n",
       true},
  };
  for (const BootFilesCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir root;
    ASSERT_FALSE(root.path().empty());
    ASSERT_TRUE(writeLiloConf(c.drive, root.path().c_str()));
    ASSERT_TRUE(writeFstab(c.drive, root.path().c_str()));
    EXPECT_EQ(readFile(root.file("etc/lilo.conf")), c.liloConf);
    EXPECT_EQ(readFile(root.file("etc/fstab")), c.fstab);
    EXPECT_EQ(modeOf(root.file("etc/lilo.conf")), 0644u);
    EXPECT_EQ(modeOf(root.file("etc/fstab")), 0644u);
    EXPECT_EQ(modeOf(root.file("etc")), 0755u);
    EXPECT_EQ(readFile(root.file(".nofsck")), c.nofsck ? "" : "<missing>");
  }
}

TEST(BootFiles, rewritingReplacesTheOldContentAndEmptiesTheMarker) {
  ScratchDir root;
  ASSERT_TRUE(writeFile(root.file(".nofsck"), "stale"));
  ASSERT_EQ(mkdir(root.file("etc").c_str(), 0700), 0);
  ASSERT_TRUE(writeFile(root.file("etc/fstab"), std::string(5000, '#'), 0600));
  HardDrive drive = makeDrive("/dev/hda", 66, 255 * 63 * 512);
  ASSERT_TRUE(writeFstab(drive, root.path().c_str()));
  EXPECT_EQ(readFile(root.file("etc/fstab")),
            "/dev/hda1  /     ext3 defaults 1 1\n"
            "none /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(modeOf(root.file("etc/fstab")), 0644u);
  EXPECT_EQ(readFile(root.file(".nofsck")), "");
}

TEST(BootFiles, missingRootFailsBothFiles) {
  ScratchDir root;
  std::string missing = root.file("no/such/root");
  HardDrive drive = makeDrive("/dev/hda", 66, 255 * 63 * 512);
  EXPECT_FALSE(writeLiloConf(drive, missing.c_str()));
  EXPECT_FALSE(writeFstab(drive, missing.c_str()));
}

TEST(BootFiles, unwritableEtcFails) {
  ScratchDir root;
  // A directory where the file should be: creating it for writing fails even for root.
  ASSERT_EQ(mkdir(root.file("etc").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root.file("etc/lilo.conf").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root.file("etc/fstab").c_str(), 0755), 0);
  HardDrive drive = makeDrive("/dev/hda", 66, 255 * 63 * 512);
  EXPECT_FALSE(writeLiloConf(drive, root.path().c_str()));
  EXPECT_FALSE(writeFstab(drive, root.path().c_str()));
}

}  // namespace
