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
#include "support/console_text.h"
#include "support/fake_platform.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

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

// Runs postInstall with the recording platform and returns what it printed, then "calls:" and
// the platform calls, one a line. As root it runs in a child chrooted into an empty staged root,
// so that the confined commands cannot enter the host's own "/mnt".
std::string postInstallTranscript(InstallContext& context, int mountResult, int umountResult,
                                  const ScratchDir& scratch) {
  auto body = [&context, mountResult, umountResult] {
    FakePlatform platform;
    platform.mountResult = mountResult;
    platform.umountResult = umountResult;
    int result = postInstall(context);
    printf("result %d\ncalls:\n", result);
    for (const std::string& call : platform.calls) printf("%s\n", call.c_str());
    fflush(stdout);
    return 0;
  };
  if (geteuid() != 0) {
    testing::internal::CaptureStdout();
    body();
    return withoutTickerDots(testing::internal::GetCapturedStdout());
  }
  StagedRoot root(scratch.file("root"));
  if (!root.addDirectory("/") || !root.addDirectory("/mnt") || !root.addDirectory("/proc") ||
      !root.addDirectory("/dev/host")) {
    return "<no staged root>";
  }
  ChildRun run = runInStagedRoot(root, body);
  return run.status == 0 ? withoutTickerDots(run.out) : "<child failed>";
}

TEST_F(TargetSteps, postInstallChecksAOnePartitionRootReadOnly) {
  EXPECT_EQ(postInstallTranscript(context, 0, 0, scratch),
            "Checking disk integrity...\nresult 0\ncalls:\nsync\numount /mnt/boot\n"
            "mount /dev/hda1 /mnt ext3 21\numount /mnt\n");
}

TEST_F(TargetSteps, postInstallSkipsTheCheckWhenTheRemountFails) {
  EXPECT_EQ(postInstallTranscript(context, -1, 0, scratch),
            "result 0\ncalls:\nsync\numount /mnt/boot\nmount /dev/hda1 /mnt ext3 21\n"
            "umount /mnt\n");
}

TEST_F(TargetSteps, postInstallDoesNotCheckATwoPartitionDisk) {
  setGeometry(context.targetDrive, 1024, 16 * 63 * 512);
  EXPECT_EQ(postInstallTranscript(context, 0, -1, scratch),
            "result -1\ncalls:\nsync\numount /mnt/boot\numount /mnt\n");
}

}  // namespace
