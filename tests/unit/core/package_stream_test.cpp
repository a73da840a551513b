// The installer child without privileges: starting is refused while another piped child is
// recorded, and a child that cannot confine itself to the new root installs nothing.
#include "core/package_stream.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "disk/tool_runner.h"

namespace {

TEST(PackageStreamTest, StartIsRefusedWithoutForkingWhileAnotherPipedChildIsRecorded) {
  pipedChild = getpid();
  EXPECT_EQ(startPackageInstaller(), nullptr);
  EXPECT_EQ(pipedChild, getpid());
  pipedChild = -1;
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(PackageStreamTest, ChildThatCannotChangeRootReportsFailure) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "as root the change of root would succeed on this machine's own /mnt; "
                    "the sandbox test covers the confined child";
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(installerChildMain() < 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
