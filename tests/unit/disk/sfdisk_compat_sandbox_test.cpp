// The medium's sfdisk (tools/sfdisk-compat) under busybox sh in a staged root, on loop disks:
// the geometry listing under the medium's names, the four-slot dump, cylinder tables with the
// first track kept free, emptied slots, the boot code left alone, the kernel told about the new
// partitions, and clear refusals of everything else. Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr unsigned long long kMiB = 1024 * 1024;
constexpr const char* kCompatSfdisk = TRENAVOX_SOURCE_DIR "/tools/sfdisk-compat/sfdisk";
constexpr int kBootAreaSize = 446;

bool blockDeviceExists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}

class CompatSfdisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable = sandboxUnavailable({"losetup", "sfdisk", "addpart", "delpart"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addCompatSfdisk(kCompatSfdisk));
    // Two disks with medium names (the second IDE master first) and one without.
    for (const char* name : {"c", "a", "x"}) {
      disks.push_back(
          std::make_unique<LoopDisk>(scratch.file(std::string("disk-") + name), 16 * kMiB));
      ASSERT_FALSE(disks.back()->device().empty()) << "no loop device could be attached";
    }
    ASSERT_TRUE(stage->addSymlink("/dev/hdc", "host/" + disks[0]->name()));
    ASSERT_TRUE(stage->addSymlink("/dev/hda", "host/" + disks[1]->name()));
  }

  // Runs `command` with busybox sh in the staged root.
  ChildRun sh(const std::string& command) {
    return runInStagedRoot(*stage, [command] {
      int status = system(command.c_str());
      return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    });
  }

  std::string hostDevice(int index) { return disks[index]->device(); }
  std::string stagedDevice(int index) { return "/dev/host/" + disks[index]->name(); }

  std::string sectorZero(int index) { return readFile(hostDevice(index)).substr(0, 512); }

  ScratchDir scratch;
  std::unique_ptr<StagedRoot> stage;
  std::vector<std::unique_ptr<LoopDisk>> disks;
};

TEST_F(CompatSfdisk, geometryListsMediumNamesInNameOrder) {
  ChildRun run = sh("SFDISK_COMPAT_DEVICES='" + stagedDevice(2) + " " + stagedDevice(0) + " " +
                    stagedDevice(1) + "' /sbin/sfdisk -g");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "/dev/hda: 2 cylinders, 255 heads, 63 sectors/track\n"
            "/dev/hdc: 2 cylinders, 255 heads, 63 sectors/track\n" +
                stagedDevice(2) + ": 2 cylinders, 255 heads, 63 sectors/track\n");
  run = sh("/sbin/sfdisk -d -uC /dev/hda");  // a blank disk lists no entries
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

TEST_F(CompatSfdisk, geometryOverrideFromFileOrEnvironment) {
  ASSERT_TRUE(stage->addFile("/etc/sfdisk-compat.conf",
                             "# old IDE geometry\nSFDISK_COMPAT_GEOMETRY=16x63\n"
                             "SFDISK_COMPAT_DEVICES=/dev/hda\n"));
  ChildRun run = sh("/sbin/sfdisk -g");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "/dev/hda: 32 cylinders, 16 heads, 63 sectors/track\n");
  run = sh("SFDISK_COMPAT_GEOMETRY=4x32 /sbin/sfdisk -g /dev/hdc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "/dev/hdc: 256 cylinders, 4 heads, 32 sectors/track\n");
  run = sh("SFDISK_COMPAT_GEOMETRY=300x63 /sbin/sfdisk -g /dev/hdc");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("bad geometry"), std::string::npos) << run.err;
}

TEST_F(CompatSfdisk, cylinderTableKeepsTheFirstTrackAndTheBootCode) {
  // Boot code of another era in bytes 0-445, disk identifier area included.
  std::string boot(kBootAreaSize, '\0');
  for (int i = 0; i < kBootAreaSize; i++) boot[i] = static_cast<char>(0xA0 ^ i);
  int fd = open(hostDevice(1).c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, boot.data(), boot.size(), 0), kBootAreaSize);
  close(fd);

  ChildRun run =
      sh("printf '0,21,83,*\\n21,11,83,-\\n' | "
         "SFDISK_COMPAT_GEOMETRY=16x63 /sbin/sfdisk -q -uC /dev/hda && "
         "/sbin/sfdisk -d -uC /dev/hda");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "# partition table of /dev/hda\nunit: sectors\n\n"
            "/dev/hda1 : start=       63, size=    21105, Id=83, bootable\n"
            "/dev/hda2 : start=    21168, size=    11088, Id=83\n"
            "/dev/hda3 : start=        0, size=        0, Id= 0\n"
            "/dev/hda4 : start=        0, size=        0, Id= 0\n");
  std::string sector = sectorZero(1);
  EXPECT_EQ(sector.substr(0, kBootAreaSize), boot);
  EXPECT_EQ(sector.substr(510), "\x55\xAA");
  // The kernel knows the new partitions, although it cannot parse a table itself.
  EXPECT_TRUE(blockDeviceExists(hostDevice(1) + "p1"));
  EXPECT_TRUE(blockDeviceExists(hostDevice(1) + "p2"));
  EXPECT_FALSE(blockDeviceExists(hostDevice(1) + "p3"));
  EXPECT_EQ(readFile("/sys/class/block/" + disks[1]->name() + "p2/start"), "21168\n");
}

// Without sysfs and /proc the device nodes are all the tool can judge the kernel's view by.
TEST_F(CompatSfdisk, kernelIsToldOfNewAndEmptiedSlots) {
  ChildRun run = sh("umount /proc && printf '0,1,83\\n1,1,82,*\\n' | /sbin/sfdisk -q -uC /dev/hdc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(blockDeviceExists(hostDevice(0) + "p2"));
  EXPECT_EQ(readFile("/sys/class/block/" + disks[0]->name() + "p2/start"), "16065\n");
  run =
      sh("printf '0,2,83,*\\n0,0,0\\n0,0,0\\n0,0,0\\n' | /sbin/sfdisk -q -uC /dev/hdc && "
         "/sbin/sfdisk -d -uC /dev/hdc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "# partition table of /dev/hdc\nunit: sectors\n\n"
            "/dev/hdc1 : start=       63, size=    32067, Id=83, bootable\n"
            "/dev/hdc2 : start=        0, size=        0, Id= 0\n"
            "/dev/hdc3 : start=        0, size=        0, Id= 0\n"
            "/dev/hdc4 : start=        0, size=        0, Id= 0\n");
  EXPECT_TRUE(blockDeviceExists(hostDevice(0) + "p1"));
  EXPECT_FALSE(blockDeviceExists(hostDevice(0) + "p2"));
}

TEST_F(CompatSfdisk, refusesEverythingElseWithoutTouchingTheDisk) {
  std::string before = sectorZero(1);
  const char* const calls[] = {
      "/sbin/sfdisk -l /dev/hda",
      "/sbin/sfdisk -d /dev/hda",
      "/sbin/sfdisk -d -uM /dev/hda",
      "/sbin/sfdisk -d -uC",
      "/sbin/sfdisk -g -uC",
      "echo 0,1,83 | /sbin/sfdisk -uC /dev/hda",
      "echo 0,1,83 | /sbin/sfdisk -q -uC /dev/hda /dev/hdc",
      "echo 0,3,83 | /sbin/sfdisk -q -uC /dev/hda",
      "echo a,b | /sbin/sfdisk -q -uC /dev/hda",
      "echo 0,1,83,+ | /sbin/sfdisk -q -uC /dev/hda",
      "echo 0,1,1234 | /sbin/sfdisk -q -uC /dev/hda",
      "printf '0,1,83\\n0,0,0\\n0,0,0\\n0,0,0\\n0,0,0\\n' | /sbin/sfdisk -q -uC /dev/hda",
  };
  for (const char* call : calls) {
    SCOPED_TRACE(call);
    ChildRun run = sh(call);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0);
    EXPECT_EQ(run.err.rfind("sfdisk: ", 0), 0u) << run.err;
  }
  EXPECT_EQ(sectorZero(1), before);
}

TEST_F(CompatSfdisk, missingHelpersAreClearErrors) {
  ChildRun run = sh("rm /sbin/addpart && echo 0,1,83 | /sbin/sfdisk -q -uC /dev/hda");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("addpart is missing"), std::string::npos) << run.err;
  run = sh("rm /sbin/sfdisk.real && /sbin/sfdisk -g /dev/hda");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("the modern sfdisk is missing"), std::string::npos) << run.err;
}

}  // namespace
