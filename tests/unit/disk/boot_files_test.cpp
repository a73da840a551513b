// The boot-loader configuration, the file-system table and the "/.nofsck" marker, compared
// byte for byte with the texts the new system reads.
#include "disk/boot_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/disk_stand_ins.h"

namespace {

mode_t modeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::string lilo(const char* boot, const char* root) {
  return std::string("boot=") + boot +
         "\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n  label=System\n"
         "  root=" +
         root + "\n  read-only\n";
}

const char kVirtualMounts[] =
    "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n";

TEST(BootFiles, goldenTextsForEachLayoutAlsoOverOldFiles) {
  struct Case {
    HardDrive drive;
    std::string liloConf, fstab;
    bool nofsck;
  } cases[] = {
      {makeDrive("/dev/hda", 1024, kOldIdeCylinderBytes), lilo("/dev/hda1", "/dev/hda2"),
       std::string("/dev/hda2  /     ext3 defaults 1 1\n/dev/hda1  /boot ext2 defaults 1 2\n") +
           kVirtualMounts,
       true},
      {makeDrive("/dev/hda", 4, kLbaCylinderBytes), lilo("/dev/hda1", "/dev/hda1"),
       std::string("/dev/hda1  /     ext2 defaults 1 1\n") + kVirtualMounts, false},
      {makeDrive("/dev/sdb", 66, kLbaCylinderBytes), lilo("/dev/sdb1", "/dev/sdb1"),
       std::string("/dev/sdb1  /     ext3 defaults 1 1\n") + kVirtualMounts, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive.device + std::to_string(c.drive.cylinders));
    ScratchDir root;
    if (&c == &cases[2]) {  // over an old install: longer texts, private modes, a stale marker
      ASSERT_TRUE(writeFile(root.file(".nofsck"), "stale"));
      ASSERT_EQ(mkdir(root.file("etc").c_str(), 0755), 0);
      ASSERT_TRUE(writeFile(root.file("etc/fstab"), std::string(5000, '#'), 0600));
      ASSERT_TRUE(writeFile(root.file("etc/lilo.conf"), std::string(5000, '#'), 0600));
    }
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

TEST(BootFiles, missingRootOrUnwritableFilesFail) {
  ScratchDir root;
  HardDrive drive = makeDrive("/dev/hda", 66, kLbaCylinderBytes);
  EXPECT_FALSE(writeLiloConf(drive, root.file("no/such/root").c_str()));
  EXPECT_FALSE(writeFstab(drive, root.file("no/such/root").c_str()));
  // Directories where the files should be: opening them for writing fails even for root.
  for (const char* dir : {"etc", "etc/lilo.conf", "etc/fstab"}) {
    ASSERT_EQ(mkdir(root.file(dir).c_str(), 0755), 0);
  }
  EXPECT_FALSE(writeLiloConf(drive, root.path().c_str()));
  EXPECT_FALSE(writeFstab(drive, root.path().c_str()));
}

}  // namespace
