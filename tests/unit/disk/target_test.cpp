// Target preparation's failure paths and post-install's platform calls, with stand-in tools and
// the recording platform (nothing is mounted for real; the "drive" is an image file).
#include "disk/target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/signals.h"
#include "disk/boot_files.h"
#include "disk/disk_tools.h"
#include "disk/drives.h"
#include "disk/tool_runner.h"
#include "support/fake_platform.h"
#include "support/scratch_dir.h"

namespace {

// Step texts carry one dot per second that the step took.
std::string withoutTickerDots(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); i++) {
    result += text[i];
    if (text.compare(i, 3, "...") == 0) {
      result += "..";
      i += 3;
      while (i < text.size() && text[i] == '.') i++;
      i--;
    }
  }
  return result;
}

class TargetSteps : public ::testing::Test {
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
    ASSERT_TRUE(writeScript(sfdisk, "cat >/dev/null\n"));
    ASSERT_TRUE(writeScript(mke2fs, "exit 1\n"));
    // The drive: an image whose sector 0 holds another system's code and a table.
    // A short path of its own: the device field holds 31 characters.
    char name[] = "/tmp/tvdiskXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    image = name;
    std::string sector(kSectorSize, 'o');
    sector[510] = 0x55;
    sector[511] = static_cast<char>(0xAA);
    ASSERT_TRUE(writeFile(image, sector + std::string(4096, '\0')));
    initInstallContext(context);
    ASSERT_LT(image.size(), sizeof context.targetDrive.device);
    strcpy(context.targetDrive.device, image.c_str());
    setGeometry(context.targetDrive, 100, 255 * 63 * 512);
  }
  void TearDown() override {
    sfdiskProgram = savedSfdisk;
    mke2fsProgram = savedMke2fs;
    pipedChild = -1;
    if (!image.empty()) (void)unlink(image.c_str());
  }

  std::string sectorZero() { return readFile(image).substr(0, kSectorSize); }

  ScratchDir scratch;
  std::string sfdisk, mke2fs, image;
  const char* savedSfdisk = nullptr;
  const char* savedMke2fs = nullptr;
  InstallContext context;
};

TEST_F(TargetSteps, partitioningFailureComesAfterTheBootCodeWasWritten) {
  FakePlatform platform;  // the old root cannot be mounted: nothing kept, nothing said
  pipedChild = 999999;    // the tool slot is taken: sfdisk cannot be started
  testing::internal::CaptureStdout();
  EXPECT_FALSE(prepareTarget(context, true));
  EXPECT_EQ(withoutTickerDots(testing::internal::GetCapturedStdout()),
            "Creating partition...\nERROR: could not create partitions\n");
  std::string sector = sectorZero();
  EXPECT_EQ(memcmp(sector.data(), masterBootCode, kBootCodeSize), 0);
  EXPECT_EQ(sector.substr(kPartitionTableOffset), std::string(64, 'o') + "\x55\xAA");
}

TEST_F(TargetSteps, formattingFailureEndsTheLineFirstAndMountsNothing) {
  FakePlatform platform;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(prepareTarget(context, false));
  EXPECT_EQ(withoutTickerDots(testing::internal::GetCapturedStdout()),
            "Creating partition...\nFormatting disk...\nERROR: could not format partitions\n");
  EXPECT_TRUE(platform.calls.empty());
}

TEST_F(TargetSteps, unmountableNewRootIsReported) {
  FakePlatform platform;
  ASSERT_TRUE(writeScript(mke2fs, "exit 0\n"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(prepareTarget(context, false));
  EXPECT_EQ(withoutTickerDots(testing::internal::GetCapturedStdout()),
            "Creating partition...\nFormatting disk...\nERROR: could not mount filesystem\n");
  EXPECT_EQ(platform.calls.size(), 4u);  // the four tries, nothing left mounted
}

TEST_F(TargetSteps, postInstallChecksAOnePartitionRootReadOnly) {
  FakePlatform platform;
  platform.mountResult = 0;
  platform.umountResult = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(postInstall(context), 0);
  EXPECT_EQ(withoutTickerDots(testing::internal::GetCapturedStdout()),
            "Checking disk integrity...\n");
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{"sync", "umount /mnt/boot", "mount /dev/hda1 /mnt ext3 21",
                                      "umount /mnt"}));
}

TEST_F(TargetSteps, postInstallSkipsTheCheckWhenTheRemountFails) {
  FakePlatform platform;
  platform.umountResult = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(postInstall(context), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(TargetSteps, postInstallDoesNotCheckATwoPartitionDisk) {
  FakePlatform platform;
  platform.mountResult = 0;
  setGeometry(context.targetDrive, 1024, 16 * 63 * 512);
  testing::internal::CaptureStdout();
  EXPECT_EQ(postInstall(context), -1);  // the final unmount's result
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"sync", "umount /mnt/boot", "umount /mnt"}));
}

}  // namespace
