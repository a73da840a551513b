// Confined tool runs: a tiny root holding a static busybox as /bin/sh stands in for the freshly
// installed system. chroot needs root, so the tests skip without it.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/child.h"
#include "base/signals.h"
#include "disk/tool_runner.h"
#include "support/scratch_dir.h"
#include "support/wait_status.h"

namespace {

TEST(ConfinedTool, runsInsideTheRootWithItsOutputOnTheLogTerminalOutside) {
  if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
  ScratchDir dir;
  const std::string root = dir.file("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/bin").c_str(), 0755), 0);
  std::string busybox = readFile("/bin/busybox");
  if (busybox == "<missing>") GTEST_SKIP() << "needs a static /bin/busybox";
  ASSERT_TRUE(writeFile(root + "/bin/sh", busybox, 0755));
  ASSERT_TRUE(writeFile(root + "/inside-only", ""));
  installSignalHandlers();
  char savedLog[sizeof logTerminalPath];
  memcpy(savedLog, logTerminalPath, sizeof savedLog);
  std::string log = dir.file("tty9");
  ASSERT_TRUE(writeFile(log, ""));
  snprintf(logTerminalPath, sizeof logTerminalPath, "%s", log.c_str());

  const char* script = "test -f /inside-only && test ! -e /tmp && echo from inside && exit 5";
  EXPECT_TRUE(exitedWith(runCommand(root.c_str(), "/bin/sh", "-c", script, nullptr), 5));
  EXPECT_EQ(readFile(log), "from inside\n");
  // Unconfined, the same script runs against the real root; confining the child left ours.
  EXPECT_TRUE(exitedWith(runCommand(nullptr, "/bin/sh", "-c", script, nullptr), 1));
  // /bin/ls exists on the host but not in the tiny root.
  EXPECT_TRUE(exitedWith(runCommand(root.c_str(), "/bin/ls", "/", nullptr), 127));
  std::string missing = dir.file("no-such-root");
  EXPECT_TRUE(exitedWith(runCommand(missing.c_str(), "/bin/sh", "-c", "exit 0", nullptr), 127));
  memcpy(logTerminalPath, savedLog, sizeof savedLog);
}

}  // namespace
