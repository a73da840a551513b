// Target preparation's failure paths and post-install's platform calls, with stand-in tools and
// the recording platform (nothing is mounted for real; the "drive" is an image file).
#include "disk/target.h"
#include "base/child.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "base/context.h"
#include "disk/boot_files.h"
#include "disk/tool_runner.h"
#include "support/console_text.h"
#include "support/disk_stand_ins.h"
#include "support/fake_platform.h"
#include "support/staged_root.h"

namespace {

class TargetSteps : public StandInTools {
 protected:
  void SetUp() override {
    StandInTools::SetUp();
    ASSERT_TRUE(writeScript(sfdisk, "cat >/dev/null\n"));
    ASSERT_TRUE(writeScript(mke2fs, "exit 1\n"));
    // The drive: an image whose sector 0 holds another system's code and a table, on a short
    // path of its own (the device field holds 31 characters).
    char name[] = "/tmp/tvdiskXXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    image = name;
    ASSERT_TRUE(writeFile(image, std::string(510, 'o') + "\x55\xAA" + std::string(4096, '\0')));
    initInstallContext(context);
    strcpy(context.targetDrive.device, image.c_str());
    setGeometry(context.targetDrive, 100, kLbaCylinderBytes);
  }
  void TearDown() override {
    StandInTools::TearDown();
    pipedChild = -1;
    if (!image.empty()) (void)unlink(image.c_str());
  }

  std::string image;
  InstallContext context;
};

TEST_F(TargetSteps, failuresAreReportedAfterTheBootCodeWasWritten) {
  struct Case {
    bool toolSlotTaken, mke2fsWorks;
    const char* output;
    size_t platformCalls;
  } cases[] = {
      // sfdisk cannot be started; the old root cannot be mounted: nothing kept, nothing said.
      {true, false, "Creating partition...\nERROR: could not create partitions\n", 4},
      {false, false,
       "Creating partition...\nFormatting disk...\nERROR: could not format partitions\n", 4},
      // The four mount tries, nothing left mounted.
      {false, true,
       "Creating partition...\nFormatting disk...\nERROR: could not mount filesystem\n", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    FakePlatform platform;
    ASSERT_TRUE(writeScript(mke2fs, c.mke2fsWorks ? "exit 0\n" : "exit 1\n"));
    pipedChild = c.toolSlotTaken ? 999999 : -1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(prepareTarget(context, true));
    EXPECT_EQ(withoutTickerDots(testing::internal::GetCapturedStdout()), c.output);
    EXPECT_EQ(platform.calls.size(), c.platformCalls);
    std::string sector = readFile(image).substr(0, kSectorSize);
    EXPECT_EQ(memcmp(sector.data(), masterBootCode, kBootCodeSize), 0);
    EXPECT_EQ(sector.substr(kPartitionTableOffset), std::string(64, 'o') + "\x55\xAA");
  }
}

// Runs postInstall with the recording platform and returns what it printed, then the result
// and the platform calls, chrooted into an empty staged root (hence root only), so that the
// confined commands cannot enter the host's own "/mnt".
std::string postInstallTranscript(InstallContext& context, int mountResult, int umountResult,
                                  const ScratchDir& scratch) {
  auto body = [&context, mountResult, umountResult] {
    FakePlatform platform;
    platform.mountResult = mountResult;
    platform.umountResult = umountResult;
    printf("result %d\ncalls:\n", postInstall(context));
    for (const std::string& call : platform.calls) printf("%s\n", call.c_str());
    fflush(stdout);
    return 0;
  };
  StagedRoot root(scratch.file("root"));
  if (!root.addDirectory("/mnt") || !root.addDirectory("/proc") ||
      !root.addDirectory("/dev/host")) {
    return "<no staged root>";
  }
  ChildRun run = runInStagedRoot(root, body);
  return run.status == 0 ? withoutTickerDots(run.out) : "<child failed>";
}

TEST_F(TargetSteps, postInstallChecksOnlyAOnePartitionRootAndOnlyReadOnly) {
  EXPECT_EQ(postInstallTranscript(context, 0, 0, scratch),
            "Checking disk integrity...\nresult 0\ncalls:\nsync\numount /mnt/boot\n"
            "mount /dev/hda1 /mnt ext3 21\numount /mnt\n");
  EXPECT_EQ(postInstallTranscript(context, -1, 0, scratch),
            "result 0\ncalls:\nsync\numount /mnt/boot\nmount /dev/hda1 /mnt ext3 21\n"
            "umount /mnt\n");
  setGeometry(context.targetDrive, 1024, kOldIdeCylinderBytes);
  EXPECT_EQ(postInstallTranscript(context, 0, -1, scratch),
            "result -1\ncalls:\nsync\numount /mnt/boot\numount /mnt\n");
}

}  // namespace
