// Confined tool runs: a tiny root holding a static busybox as /bin/sh stands in for the freshly
// installed system. chroot needs root, so the tests skip without it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/signals.h"
#include "disk/tool_runner.h"

namespace {

const char kBusybox[] = "/bin/busybox";

bool exitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string readFile(const std::string& path) {
  std::string text;
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return text;
  char buffer[256];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  fclose(file);
  return text;
}

class ConfinedToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    if (access(kBusybox, X_OK) != 0) GTEST_SKIP() << "needs a static " << kBusybox;
    installSignalHandlers();
    memcpy(savedLogPath_, logTerminalPath, sizeof savedLogPath_);
    snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null");
    char pattern[] = "/tmp/confined-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/bin").c_str(), 0755), 0);
    std::string copy = std::string("cp ") + kBusybox + " " + root_ + "/bin/sh";
    ASSERT_EQ(system(copy.c_str()), 0);
    close(open((root_ + "/inside-only").c_str(), O_WRONLY | O_CREAT, 0600));
  }
  void TearDown() override {
    if (dir_.empty()) return;
    memcpy(logTerminalPath, savedLogPath_, sizeof savedLogPath_);
    std::string command = "rm -rf " + dir_;
    (void)system(command.c_str());
  }

  std::string dir_;
  std::string root_;
  char savedLogPath_[sizeof logTerminalPath];
};

TEST_F(ConfinedToolTest, confinedCommandSeesTheRootAsSlash) {
  const char* script = "test -f /inside-only && test ! -e /tmp && exit 5";
  EXPECT_TRUE(exitedWith(runCommand(root_.c_str(), "/bin/sh", "-c", script, nullptr), 5));
  // Unconfined, the same script runs against the real root.
  EXPECT_TRUE(exitedWith(runCommand(nullptr, "/bin/sh", "-c", script, nullptr), 1));
}

TEST_F(ConfinedToolTest, programPathIsLookedUpInsideTheRoot) {
  // /bin/ls exists on the host but not in the tiny root.
  ASSERT_EQ(access("/bin/ls", X_OK), 0);
  EXPECT_TRUE(exitedWith(runCommand(root_.c_str(), "/bin/ls", "/", nullptr), 127));
}

TEST_F(ConfinedToolTest, rootThatCannotBeEnteredGivesExitCode127) {
  std::string missing = dir_ + "/no-such-root";
  EXPECT_TRUE(exitedWith(runCommand(missing.c_str(), "/bin/sh", "-c", "exit 0", nullptr), 127));
}

TEST_F(ConfinedToolTest, confinedToolStillWritesToTheLogTerminalOutsideTheRoot) {
  std::string log = dir_ + "/tty9";
  ASSERT_LT(log.size(), sizeof logTerminalPath);
  close(open(log.c_str(), O_WRONLY | O_CREAT, 0600));
  snprintf(logTerminalPath, sizeof logTerminalPath, "%s", log.c_str());
  EXPECT_EQ(runCommand(root_.c_str(), "/bin/sh", "-c", "echo from inside", nullptr), 0);
  EXPECT_EQ(readFile(log), "from inside\n");
}

TEST_F(ConfinedToolTest, confiningAChildLeavesTheInstallersOwnRootAlone) {
  EXPECT_EQ(runCommand(root_.c_str(), "/bin/sh", "-c", "exit 0", nullptr), 0);
  // Were the installer itself confined, the temporary folder would be out of its sight.
  struct stat st;
  EXPECT_EQ(stat((root_ + "/inside-only").c_str(), &st), 0);
}

}  // namespace
