// Confined tool runs, where a confinement gone wrong cannot reach the machine: the test runs in
// its own mount namespace chrooted into a staged root with busybox, and confines its tools to a
// tiny root inside that, which stands in for the freshly installed system. Needs root.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "base/signals.h"
#include "disk/tool_runner.h"
#include "support/log_terminal.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConfinedTool, runsInsideTheRootWithItsOutputOnTheLogTerminalOutside) {
  std::string unavailable = sandboxUnavailable({});
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ScratchDir dir;
  StagedRoot outer(dir.file("root"));
  StagedRoot inner(outer.hostPath("/inner"));
  ASSERT_TRUE(outer.addBusybox());
  ASSERT_TRUE(outer.addFile("/tmp/tty9", ""));
  ASSERT_TRUE(inner.addFile("/bin/sh", readFile("/bin/busybox"), 0755));
  ASSERT_TRUE(inner.addFile("/inside-only", ""));

  ChildRun run = runInStagedRoot(outer, [] {
    installSignalHandlers();
    LogTerminal log("/tmp/tty9");
    const char* script = "test -f /inside-only && test ! -e /tmp && echo from inside && exit 5";
    // Unconfined, the same script runs against the outer root; /bin/ls is there but not in the
    // tiny root; a root that does not exist starts nothing.
    printf("%d %d %d %d\n", exitCode(runCommand("/inner", "/bin/sh", "-c", script, nullptr)),
           exitCode(runCommand(nullptr, "/bin/sh", "-c", script, nullptr)),
           exitCode(runCommand("/inner", "/bin/ls", "/", nullptr)),
           exitCode(runCommand("/no-such-root", "/bin/sh", "-c", "exit 0", nullptr)));
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "5 1 127 127\n");
  EXPECT_EQ(readFile(outer.hostPath("/tmp/tty9")), "from inside\n");
}

}  // namespace
