// The interrupt's abort path on a pseudo-terminal with the recording platform: Ctrl-C takes
// effect while the installer waits on a key, a descriptor, a child or a closing tool; it stops a
// running step's ticker, ends the piped child, unmounts in order, waits for Enter, syncs and
// reboots; a failed reboot returns to the wait; once aborting is disabled the key does nothing.
// An interrupt that breaks a blocked write off runs the abort routine before the write goes on.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/context.h"
#include "base/signals.h"
#include "disk/ticker.h"
#include "disk/tool_runner.h"
#include "program/abort.h"
#include "support/fake_platform.h"
#include "support/pty_harness.h"
#include "support/wait_status.h"
#include "tui/terminal.h"

namespace {

enum class WaitKind { Key, Descriptor, Child, ClosingTool };

pid_t toolPid = -1;

// At the reboot, writes down what the abort path left behind before the reboot is recorded.
class RebootRecorder : public FakePlatform {
 public:
  int reboot(int command) override {
    raise(SIGALRM);  // a ticker still set up would put a dot here, or without a handler end us
    printf("{alarm %u%s", alarmArmed, toolPid > 0 && kill(toolPid, 0) == 0 ? " tool running" : "");
    for (const std::string& call : calls) printf("|%s", call.c_str());
    printf("}");
    fflush(stdout);
    return FakePlatform::reboot(command);
  }
};

// The installer side: a step is ticking when the wait of `kind` begins; "READY" shows when it
// waits (for a child, the child itself says it).
int waitWithAStepRunning(WaitKind kind, bool rebootExits, bool disabled) {
  RebootRecorder recorder;
  recorder.rebootExits = rebootExits;
  snprintf(logTerminalPath, sizeof logTerminalPath, "%s", ttyname(1));
  consoleTerminal = new TerminalState();
  enterRawMode(*consoleTerminal);
  setAbortRoutine(runAbortPath);
  installSignalHandlers();
  abortDisabled = disabled ? 1 : 0;
  InstallContext context;
  startProgress(context, "Step");
  int ends[2];
  switch (kind) {
    case WaitKind::Key:
      printf("READY");
      waitForKey(*consoleTerminal, 'x');
      break;
    case WaitKind::Descriptor:
      if (pipe(ends) != 0) return 3;
      printf("READY");
      fflush(stdout);
      waitForInput(ends[0], -1);
      break;
    case WaitKind::Child:
      runCommand(nullptr, "/bin/sh", "-c", "echo READY; exec sleep 5", nullptr);
      break;
    case WaitKind::ClosingTool: {
      // The tool ignores the interrupt: only the abort path can end it.
      FILE* tool =
          openToolInput("/bin/sh", "-c", "trap '' INT; echo READY; exec sleep 30", nullptr);
      toolPid = pipedChild;
      closeTool(tool);
      break;
    }
  }
  printf("WAIT OVER");
  return 0;
}

const std::string kAborted = "\n\nInstallation aborted\nPress ENTER to reboot\n";
const std::string kAtReboot =
    "\a\x1b[?25h{alarm 0|umount /mnt/boot|umount /mnt|umount /floppy|sync}";

TEST(AbortPath, interruptDuringEveryKindOfWaitAbortsAndRebootsAfterEnter) {
  const struct {
    WaitKind kind;
    const char* ready;
  } cases[] = {{WaitKind::Key, "READY"},
               {WaitKind::Descriptor, "READY"},
               {WaitKind::Child, "READY\n"},
               {WaitKind::ClosingTool, "READY\n"}};
  for (const auto& c : cases) {
    // Other keys only ring the bell; Enter goes on to the reboot.
    PtyResult run = runOnPty([&] { return waitWithAStepRunning(c.kind, true, false); },
                             {{{"READY", "\003"}, {"to reboot\n", "q"}, {"\a", "\n"}}});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output,
              "Step" + std::string(c.ready) + kAborted + kAtReboot + "REBOOT 1234567\n");
  }
}

TEST(AbortPath, failedRebootReturnsToTheInterruptedWait) {
  // The console is back in its own line mode: the key comes with a newline, and is echoed.
  PtyResult run = runOnPty([] { return waitWithAStepRunning(WaitKind::Key, false, false); },
                           {{{"READY", "\003"}, {"to reboot\n", "q"}, {"\a", "\n"}, {"}", "x\n"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "StepREADY" + kAborted + kAtReboot + "x\nWAIT OVER");
}

TEST(AbortPath, disabledAbortLeavesTheInterruptWithoutEffect) {
  PtyResult run = runOnPty([] { return waitWithAStepRunning(WaitKind::Key, true, true); },
                           {{{"READY", "\003x"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "StepREADYWAIT OVER");
}

TEST(WriteAllWithAbort, interruptOfABlockedWriteRunsTheAbortRoutineOnceBeforeGoingOn) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  fflush(nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    static int ends[2];
    static int runs = 0;
    installSignalHandlers();
    if (pipe(ends) != 0) _exit(100);
    // The routine ends the reader that never read, as the abort path ends the installer
    // child: the write then fails instead of blocking again.
    setAbortRoutine([] {
      ++runs;
      close(ends[0]);
    });
    close(ready[1]);
    std::string bytes(1 << 20, 'x');
    _exit(writeAllWithAbort(ends[1], bytes.data(), bytes.size()) ? 101 : runs);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 0);  // the handlers are in place
  close(ready[0]);
  // Interrupts until the writer ends: the first one that finds it blocked must do it.
  int status = -1;
  for (int tries = 0; tries < 500 && waitpid(writer, &status, WNOHANG) == 0; ++tries) {
    kill(writer, SIGINT);
    usleep(10000);
  }
  if (status == -1 && kill(writer, SIGKILL) == 0) waitpid(writer, nullptr, 0);
  EXPECT_TRUE(exitedWith(status, 1)) << status;
}

}  // namespace
