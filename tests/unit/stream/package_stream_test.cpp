// The installer child's start without privileges: refused while another piped child is
// recorded (the confined child itself is covered by the sandbox test).
#include "stream/package_stream.h"
#include "base/child.h"

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

}  // namespace
