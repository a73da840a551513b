// The medium's sfdisk (tools/sfdisk-compat) in a staged busybox root, on loop disks: what only
// the kernel shows. Whole sectors of an odd-sized disk, the medium's names for disks, tables
// written with the boot code left alone, the kernel told of new and emptied slots, and refusals
// that leave the disk as it was. (A table written in front of the boot code is target_sandbox's.)
// Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/staged_root.h"
#include "support/wait_status.h"

namespace {

constexpr unsigned long long kMiB = 1024 * 1024;
constexpr unsigned long long kLbaCylinderBytes = 255 * 63 * 512;
constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";

class CompatSfdisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable = sandboxUnavailable({"losetup", "sfdisk", "addpart", "delpart"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addCompatSfdisk(kCompatSfdisk));
    // Two disks with medium names (the second IDE master first) and one of exactly three
    // cylinders, an odd number of sectors, without.
    const std::pair<const char*, unsigned long long> layout[] = {
        {"c", 16 * kMiB}, {"a", 16 * kMiB}, {"x", 3 * kLbaCylinderBytes}};
    for (const auto& disk : layout) {
      disks.push_back(std::make_unique<LoopDisk>(scratch.file(disk.first), disk.second));
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

  std::string stagedDevice(int index) { return "/dev/host/" + disks[index]->name(); }
  std::string sectorZero(int index) { return readFile(disks[index]->device()).substr(0, 512); }
  // What the kernel shows of partition `number` of disk `index`: "start size", or "" for none.
  std::string kernelPartition(int index, int number) {
    std::string path = "/sys/class/block/" + disks[index]->name() + "p" + std::to_string(number);
    return hostCommandOutput("cd " + path + " 2>/dev/null && echo $(cat start size)");
  }

  ScratchDir scratch;
  std::unique_ptr<StagedRoot> stage;
  std::vector<std::unique_ptr<LoopDisk>> disks;
};

// Listing is what detection does on every start: it must leave every disk as it was.
TEST_F(CompatSfdisk, geometryListsMediumNamesAndWholeCylindersAndOnlyReads) {
  int fd = open(disks[1]->device().c_str(), O_WRONLY);  // another system's code, no table
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, std::string(446, 'o').data(), 446, 0), 446);
  close(fd);
  const std::string sums = "cat " + disks[0]->device() + " " + disks[1]->device() + " | md5sum";
  std::string before = hostCommandOutput(sums);
  ChildRun run = sh("SFDISK_COMPAT_DEVICES='" + stagedDevice(2) + " " + stagedDevice(0) + " " +
                    stagedDevice(1) + "' /sbin/sfdisk -g");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "/dev/hda: 2 cylinders, 255 heads, 63 sectors/track\n"
            "/dev/hdc: 2 cylinders, 255 heads, 63 sectors/track\n" +
                stagedDevice(2) + ": 3 cylinders, 255 heads, 63 sectors/track\n");
  EXPECT_EQ(hostCommandOutput(sums), before);
  // The environment wins over the settings file.
  ASSERT_TRUE(stage->addFile("/etc/sfdisk-compat.conf", "SFDISK_COMPAT_GEOMETRY=16x63\n"));
  run = sh("SFDISK_COMPAT_GEOMETRY=4x32 /sbin/sfdisk -g /dev/hdc");
  EXPECT_EQ(run.out, "/dev/hdc: 256 cylinders, 4 heads, 32 sectors/track\n") << run.err;
  run = sh("/sbin/sfdisk -d -uC /dev/hdc");  // a blank disk lists no entries
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

// Without /proc the device nodes are all the tool can judge the kernel's view by.
TEST_F(CompatSfdisk, kernelIsToldOfNewAndEmptiedSlots) {
  ChildRun run = sh("umount /proc && printf '0,1,83\\n1,1,82,*\\n' | /sbin/sfdisk -q -uC /dev/hdc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(kernelPartition(0, 2), "16065 16065\n");
  run = sh("printf '0,2,83,*\\n0,0,0\\n0,0,0\\n0,0,0\\n' | /sbin/sfdisk -q -uC /dev/hdc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(kernelPartition(0, 1) + kernelPartition(0, 2), "63 32067\n");
}

TEST_F(CompatSfdisk, refusalsLeaveTheDiskAsItWas) {
  std::string before = sectorZero(1);
  for (const char* call : {"/sbin/sfdisk -d /dev/hda", "echo 0,3,83 | /sbin/sfdisk -q -uC /dev/hda",
                           "echo 0,1,83,+ | /sbin/sfdisk -q -uC /dev/hda"}) {
    ChildRun run = sh(call);
    EXPECT_TRUE(exitedWith(run.status, 1)) << call;
    EXPECT_EQ(run.err.rfind("sfdisk: ", 0), 0u) << run.err;
  }
  EXPECT_EQ(sectorZero(1), before);
  // Missing helpers are named.
  ChildRun run = sh("rm /sbin/addpart && echo 0,1,83 | /sbin/sfdisk -q -uC /dev/hda");
  EXPECT_NE(run.err.find("addpart is missing"), std::string::npos) << run.err;
  run = sh("rm /sbin/sfdisk.real && /sbin/sfdisk -g /dev/hda");
  EXPECT_NE(run.err.find("the modern sfdisk is missing"), std::string::npos) << run.err;
}

}  // namespace
