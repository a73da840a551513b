// The interrupt's abort path, run in a child on a pseudo-terminal with the recording platform:
// it must take effect while the installer waits on a key, a child or a descriptor, keep its
// messages and unmount order, wait for Enter and reboot; with aborting disabled it does nothing.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/signals.h"
#include "disk/tool_runner.h"
#include "program/abort.h"
#include "support/fake_platform.h"
#include "tui/terminal.h"

namespace {

enum class WaitKind { Key, Child, Descriptor, ClosingTool };

// Child side: sets up the console and the handlers like start-up does, says READY, then waits.
[[noreturn]] void installerSide(WaitKind kind, bool disabled) {
  FakePlatform fake;
  fake.rebootExits = true;
  consoleTerminal = new TerminalState();
  enterRawMode(*consoleTerminal);
  setAbortRoutine(runAbortPath);
  installSignalHandlers();
  abortDisabled = disabled ? 1 : 0;
  printf("READY\n");
  fflush(stdout);
  switch (kind) {
    case WaitKind::Key:
      waitForKey(*consoleTerminal, 'x');
      break;
    case WaitKind::Child:
      runCommand(nullptr, "/bin/sleep", "3", nullptr);
      break;
    case WaitKind::Descriptor: {
      int fds[2];
      if (pipe(fds) != 0) _exit(3);
      waitForInput(fds[0], 3000);
      break;
    }
    case WaitKind::ClosingTool: {
      // closeTool waits for a tool that does not end by itself; the abort must end it.
      FILE* tool = openToolInput("/bin/sleep", "30", ">null", nullptr);
      printf("TOOL %d\n", static_cast<int>(pipedChild));
      fflush(stdout);
      closeTool(tool);
      break;
    }
  }
  printf("WAIT OVER\n");
  for (const std::string& call : fake.calls) printf("CALL %s\n", call.c_str());
  fflush(stdout);
  _exit(0);
}

class AbortRun {
 public:
  AbortRun(WaitKind kind, bool disabled) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) installerSide(kind, disabled);
  }
  ~AbortRun() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }

  // Reads until `text` has appeared; false after `seconds` without it.
  bool waitFor(const std::string& text, int seconds = 10) {
    time_t end = time(nullptr) + seconds;
    while (output_.find(text) == std::string::npos) {
      if (time(nullptr) > end) return false;
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return output_.find(text) != std::string::npos;
      output_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  void send(const char* keys) { ASSERT_GT(write(master_, keys, strlen(keys)), 0); }
  void interrupt() { kill(pid_, SIGINT); }
  int exitStatus() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
};

// Pseudo-terminal output turns "\n" into "\r\n"; compare texts without the carriage returns.
std::string withoutCarriageReturns(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

class AbortPathTest : public ::testing::TestWithParam<WaitKind> {};

TEST_P(AbortPathTest, interruptAbortsUnmountsWaitsForEnterAndReboots) {
  AbortRun run(GetParam(), false);
  ASSERT_TRUE(run.waitFor("READY\r\n"));
  usleep(100 * 1000);  // let the child reach its wait
  run.interrupt();
  ASSERT_TRUE(run.waitFor("Press ENTER to reboot")) << run.output();
  // Other keys only ring the bell; Enter goes on to the reboot.
  run.send("q");
  ASSERT_TRUE(run.waitFor("\a"));
  run.send("\n");
  ASSERT_TRUE(run.waitFor("REBOOT 1234567")) << run.output();
  EXPECT_EQ(run.exitStatus(), 0);
  std::string text = withoutCarriageReturns(run.output());
  size_t aborted = text.find("\n\nInstallation aborted\nPress ENTER to reboot\n");
  EXPECT_NE(aborted, std::string::npos) << text;
  EXPECT_LT(text.find("READY\n"), aborted) << text;
  EXPECT_NE(text.find("\x1b[?25h"), std::string::npos) << "terminal restored before the reboot";
  EXPECT_EQ(text.find("WAIT OVER"), std::string::npos);
  size_t tool = text.find("TOOL ");
  if (tool != std::string::npos) {
    pid_t toolPid = atoi(text.c_str() + tool + 5);
    ASSERT_GT(toolPid, 0);
    EXPECT_NE(kill(toolPid, 0), 0) << "the tool that closeTool waited for was left running";
  }
}

INSTANTIATE_TEST_SUITE_P(WhileWaiting, AbortPathTest,
                         ::testing::Values(WaitKind::Key, WaitKind::Child, WaitKind::Descriptor,
                                           WaitKind::ClosingTool));

TEST(AbortPath, unmountsInOrderAndReturnsToTheWaitWhenRebootFails) {
  // With a reboot that fails (no privilege) the interrupted wait goes on afterwards.
  pid_t pid;
  int master;
  pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    FakePlatform fake;
    consoleTerminal = new TerminalState();
    enterRawMode(*consoleTerminal);
    setAbortRoutine(runAbortPath);
    installSignalHandlers();
    printf("READY\n");
    fflush(stdout);
    int key = waitForKey(*consoleTerminal, 'x');
    printf("KEY %c\n", key);
    for (const std::string& call : fake.calls) printf("CALL %s\n", call.c_str());
    fflush(stdout);
    _exit(0);
  }
  std::string output;
  auto readUntil = [&](const char* text) {
    for (int i = 0; i < 100 && output.find(text) == std::string::npos; ++i) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
    return output.find(text) != std::string::npos;
  };
  ASSERT_TRUE(readUntil("READY"));
  usleep(100 * 1000);
  kill(pid, SIGINT);
  ASSERT_TRUE(readUntil("Press ENTER to reboot"));
  ASSERT_EQ(write(master, "\n", 1), 1);
  usleep(100 * 1000);
  // The abort path restored the console's own (line) mode, so the key comes with a newline.
  ASSERT_EQ(write(master, "x\n", 2), 2);
  ASSERT_TRUE(readUntil("CALL reboot")) << output;
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  std::string text = withoutCarriageReturns(output);
  EXPECT_NE(text.find("KEY x\nCALL umount /mnt/boot\nCALL umount /mnt\nCALL umount /floppy\n"
                      "CALL sync\nCALL reboot 1234567\n"),
            std::string::npos)
      << text;
}

TEST(AbortPath, disabledAbortIgnoresTheInterrupt) {
  AbortRun run(WaitKind::Key, true);
  ASSERT_TRUE(run.waitFor("READY\r\n"));
  usleep(100 * 1000);
  run.interrupt();
  usleep(200 * 1000);
  run.send("x");
  ASSERT_TRUE(run.waitFor("WAIT OVER")) << run.output();
  EXPECT_EQ(run.exitStatus(), 0);
  EXPECT_EQ(run.output().find("Installation aborted"), std::string::npos);
  EXPECT_EQ(run.output().find("CALL"), std::string::npos);
}

}  // namespace
