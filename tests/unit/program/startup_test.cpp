// Start-up's console choice and the interrupt's abort path, each in forked children: the
// console and descriptors 0-2 a run ends up with, and what Ctrl-C does on a pseudo-terminal with
// the recording platform, whatever the installer was waiting on, and to a blocked write.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/context.h"
#include "base/signals.h"
#include "disk/ticker.h"
#include "disk/tool_runner.h"
#include "program/abort.h"
#include "program/startup.h"
#include "support/fake_platform.h"
#include "support/pty_harness.h"
#include "tui/terminal.h"

namespace {

// With neither console the closed descriptors 0-2 come back on /dev/null, and no other is
// left open.
TEST(ChooseConsole, withNeitherConsoleTheClosedStandardDescriptorsOpenOnDevNull) {
  PtyResult run = runOnPty([] {
    int firstFree = open("/dev/null", O_RDONLY);
    close(firstFree);
    for (int fd = 0; fd <= 2; ++fd) close(fd);
    chooseConsole("/nonexistent/tty0", "/nonexistent/ttyS0");
    for (int fd = 0; fd <= 2; ++fd) {
      if (fcntl(fd, F_GETFD) < 0) return 10 + fd;
    }
    if (strcmp(logTerminalPath, "/dev/null") != 0) return 2;
    return open("/dev/null", O_RDONLY) == firstFree ? 0 : 3;
  });
  EXPECT_EQ(run.exitCode, 0);
}

// The serial line (the test's terminal here) takes all three over when the text console does
// not open; when it does, nothing moves.
TEST(ChooseConsole, theSerialLineTakesOverOnlyWithoutTextConsole) {
  for (bool textConsole : {true, false}) {
    PtyResult run = runOnPty([textConsole] {
      std::string line = ttyname(1);
      int quiet = open("/dev/null", O_RDWR);
      (void)dup(1);  // the terminal stays open for the test to read
      for (int fd = 0; fd <= 2; ++fd) dup2(quiet, fd);
      chooseConsole(textConsole ? "/dev/null" : "/nonexistent/tty0", line.c_str());
      printf("on the line");
      fflush(stdout);
      fputs("!", stderr);
      fflush(stderr);
      bool moved = isatty(0) && line == ttyname(0) && strcmp(logTerminalPath, "/dev/null") == 0;
      return moved != textConsole ? 0 : 1;
    });
    EXPECT_EQ(run.exitCode, 0) << textConsole;
    EXPECT_EQ(run.output, textConsole ? "" : "on the line!");
  }
}

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
// waits. While it waits on a key or on closing a tool, a piped child runs that ignores the
// interrupt, as the installer child during a floppy prompt: only the abort path ends it.
int waitWithAStepRunning(WaitKind kind, bool rebootExits, bool disabled) {
  RebootRecorder recorder;
  recorder.rebootExits = rebootExits;
  snprintf(logTerminalPath, sizeof logTerminalPath, "%s", "/dev/null");
  consoleTerminal = new TerminalState();
  enterRawMode(*consoleTerminal);
  setAbortRoutine(runAbortPath);
  installSignalHandlers();
  abortDisabled = disabled ? 1 : 0;
  InstallContext context;
  startProgress(context, "Step");
  FILE* tool = nullptr;
  if (kind == WaitKind::Key || kind == WaitKind::ClosingTool) {
    tool = openToolInput("/bin/sh", "-c", "trap '' INT; echo READY; exec sleep 30 >&-", nullptr);
    toolPid = pipedChild;
  }
  int ends[2];
  if (kind == WaitKind::Key) waitForKey(*consoleTerminal, 'x');
  if (kind == WaitKind::ClosingTool) closeTool(tool);
  if (kind == WaitKind::Descriptor && pipe(ends) == 0 && printf("READY\n") && !fflush(stdout)) {
    waitForInput(ends[0], -1);
  }
  if (kind == WaitKind::Child) {
    snprintf(logTerminalPath, sizeof logTerminalPath, "%s", ttyname(1));  // the child says READY
    runCommand(nullptr, "/bin/sh", "-c", "echo READY; exec sleep 5", nullptr);
  }
  if (toolPid > 0) kill(toolPid, SIGKILL);
  printf("WAIT OVER");
  return 0;
}

const std::string kAborted = "\n\nInstallation aborted\nPress ENTER to reboot\n";
const std::string kAtReboot =
    "\a\x1b[?25h{alarm 0|umount /mnt/boot|umount /mnt|umount /floppy|sync}";

// The ticker is stopped, the piped child ended, the target unmounted in order, Enter awaited
// (other keys ring the bell), and all written back before the reboot.
TEST(AbortPath, interruptDuringEveryKindOfWaitAbortsAndRebootsAfterEnter) {
  for (WaitKind kind :
       {WaitKind::Key, WaitKind::Descriptor, WaitKind::Child, WaitKind::ClosingTool}) {
    PtyResult run = runOnPty([&] { return waitWithAStepRunning(kind, true, false); },
                             {{{"READY", "\003"}, {"to reboot\n", "q"}, {"\a", "\n"}}});
    EXPECT_EQ(run.output, "StepREADY\n" + kAborted + kAtReboot + "REBOOT 1234567\n");
  }
}

TEST(AbortPath, failedRebootReturnsToTheInterruptedWait) {
  // The console is back in its own line mode: the key comes with a newline, and is echoed.
  PtyResult run = runOnPty([] { return waitWithAStepRunning(WaitKind::Key, false, false); },
                           {{{"READY", "\003"}, {"to reboot\n", "q"}, {"\a", "\n"}, {"}", "x\n"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "StepREADY\n" + kAborted + kAtReboot + "x\nWAIT OVER");
}

TEST(AbortPath, disabledAbortLeavesTheInterruptWithoutEffect) {
  PtyResult run = runOnPty([] { return waitWithAStepRunning(WaitKind::Key, true, true); },
                           {{{"READY", "\003x"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "StepREADY\nWAIT OVER");
}

TEST(WriteAllWithAbort, interruptOfABlockedWriteRunsTheAbortRoutineOnceBeforeGoingOn) {
  PtyResult run = runOnPty([] {
    static int ends[2];
    static int runs = 0;
    installSignalHandlers();
    // The routine ends the reader that never read, as the abort path ends the
    // installer child: the write then fails instead of blocking again.
    setAbortRoutine([] {
      ++runs;
      close(ends[0]);
    });
    pid_t writer = getpid();
    if (pipe(ends) != 0) return 100;
    if (fork() == 0) {  // interrupts the writer until it has ended
      close(ends[0]);
      close(ends[1]);
      while (getppid() == writer && kill(writer, SIGINT) == 0) usleep(10000);
      _exit(0);
    }
    std::string bytes(1 << 20, 'x');
    return writeAllWithAbort(ends[1], bytes.data(), bytes.size()) ? 101 : runs;
  });
  EXPECT_EQ(run.exitCode, 1);
}

}  // namespace
