// The external tool runner and the child recipe beneath it against real children (/bin/sh):
// statuses under the SIGCHLD handler and signal rain, where the tools' output goes, the single
// piped-child slot, the ">null" marker and the descriptors a tool gets to see.
#include "disk/tool_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "base/signals.h"
#include "support/log_terminal.h"
#include "support/scratch_dir.h"
#include "support/wait_status.h"

namespace {

// Enough children for the reaping handler and the waiters to cross each other many times
// under the rain, and few enough to stay well under a second.
constexpr int kRainChildren = 300;
constexpr int kOrphans = 100;  // more than the handler's table holds

std::string readStream(FILE* stream) {
  std::string text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, stream)) > 0;) text.append(buffer, got);
  return text;
}

// Sleeps until the SIGCHLD handler has reaped `pid`, so that the waiter that comes next must
// find the status in the handler's table.
bool waitUntilReapedByHandler(pid_t pid) {
  for (int i = 0; i < 2000; ++i, usleep(500)) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  }
  return false;
}

// Fills the free descriptors 3..high with /dev/null (open across exec), as a busy installer
// might; they stay open for the rest of the run.
void fillDescriptors(int high) {
  int null = open("/dev/null", O_RDONLY);
  for (int fd = 3; fd <= high; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) (void)dup2(null, fd);
  }
  close(null);
}

int ticks = 0;
void countTick(int) {
  ++ticks;
}

// SIGALRM every 200 µs (or never) with the restart flag, as the installer's handlers are set.
void signalRain(bool on) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on ? countTick : SIG_IGN;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
  struct itimerval every;
  memset(&every, 0, sizeof every);
  every.it_interval.tv_usec = on ? 200 : 0;
  every.it_value = every.it_interval;
  setitimer(ITIMER_REAL, &every, nullptr);
}

class ToolRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installSignalHandlers();
    ASSERT_FALSE(dir.path().empty());
    ASSERT_EQ(pipedChild, -1);
  }

  // Makes an empty file of the scratch directory the log terminal and returns its path.
  std::string useLogFile(const char* name) {
    std::string path = dir.file(name);
    EXPECT_LT(path.size(), sizeof logTerminalPath);
    EXPECT_TRUE(writeFile(path, ""));
    log.use(path);
    return path;
  }

  ScratchDir dir;
  LogTerminal log;
};

TEST_F(ToolRunnerTest, everyChildReturnsItsOwnStatusThroughTheReapingHandlerUnderSignalRain) {
  ticks = 0;
  signalRain(true);
  int wrong = 0;
  for (int i = 0; i < kRainChildren && wrong < 5; ++i) {
    int code = (i * 7) % 256;
    std::string script = "exit " + std::to_string(code);
    int status = -1;
    if (i % 3 == 0) {
      status = runCommand(nullptr, "/bin/sh", "-c", script.c_str(), nullptr);
    } else if (i % 3 == 1) {
      script = "echo " + std::to_string(code) + "; " + script;
      FILE* out = openToolOutput("/bin/sh", "-c", script.c_str(), nullptr);
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(readStream(out), std::to_string(code) + "\n");
      if (i % 10 == 1) {
        ASSERT_TRUE(waitUntilReapedByHandler(pipedChild));  // long ended before its close
      }
      status = closeTool(out);
    } else {
      FILE* in = openToolInput("/bin/sh", "-c", "read code; exit $code", nullptr);
      ASSERT_NE(in, nullptr);
      fprintf(in, "%d\n", code);
      status = closeTool(in);
    }
    if (!exitedWith(status, code)) {
      ++wrong;
      ADD_FAILURE() << "child " << i << " expected exit " << code << ", status " << status;
    }
  }
  signalRain(false);
  EXPECT_GT(ticks, 100) << "the rain never fell";
}

// Orphans nobody waits for come first: they must not crowd out the statuses of children
// reaped by the handler before their waiter looks, and a status is handed out once. (Piped
// tools that ended long before their close are the rain test's.)
TEST_F(ToolRunnerTest, childReapedByTheHandlerBeforeTheWaitStillGivesItsStatus) {
  for (int i = 0; i < kOrphans; ++i) {
    pid_t orphan = fork();
    ASSERT_GE(orphan, 0);
    if (orphan == 0) _exit(1);
    ASSERT_TRUE(waitUntilReapedByHandler(orphan));
  }
  for (int i = 0; i < 20; ++i) {
    int code = (i * 13 + 1) % 256;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(code);
    ASSERT_TRUE(waitUntilReapedByHandler(child));
    int status = -1;
    ASSERT_EQ(waitForChild(child, &status), 0);
    EXPECT_TRUE(exitedWith(status, code)) << status;
    EXPECT_EQ(waitForChild(child, &status), -1);
  }
}

TEST_F(ToolRunnerTest, toolOutputGoesToTheLogTerminalAndVanishesOnDevNull) {
  const char* chatter = "read word; echo out $word; echo err $word >&2";
  std::string path = useLogFile("tty9");
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", chatter, nullptr), 0);
  EXPECT_EQ(readFile(path), "out\nerr\n");
  path = useLogFile("tty9");
  FILE* out = openToolOutput("/bin/sh", "-c", chatter, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(readStream(out), "out\n");
  EXPECT_EQ(closeTool(out), 0);
  EXPECT_EQ(readFile(path), "err\n");
  path = useLogFile("tty9");
  testing::internal::CaptureStdout();
  printf("before ");  // still buffered when the tool starts: must come first
  FILE* in = openToolInput("/bin/sh", "-c", "read word; echo $word", nullptr);
  if (in) fputs("visible\n", in);
  EXPECT_EQ(closeTool(in), 0);
  in = openToolInput("/bin/sh", "-c", chatter, ">null", nullptr);
  if (in) fputs("logged\n", in);
  EXPECT_EQ(closeTool(in), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "before visible\n");
  EXPECT_EQ(readFile(path), "out logged\nerr logged\n");

  // A log terminal that does not open leaves no output descriptor free: the next file the tool
  // opened would take it.
  log.use("/nonexistent/tty9");
  const char* onlyErr = "test \"$(readlink /proc/$$/fd/2)\" = /dev/null";
  std::string both = std::string("test \"$(readlink /proc/$$/fd/1)\" = /dev/null && ") + onlyErr;
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", both.c_str(), nullptr), 0);
  EXPECT_EQ(closeTool(openToolInput("/bin/sh", "-c", both.c_str(), ">null", nullptr)), 0);
  EXPECT_EQ(closeTool(openToolOutput("/bin/sh", "-c", onlyErr, nullptr)), 0);
}

TEST_F(ToolRunnerTest, secondOpenWhileAPipedChildExistsReturnsNullAndStartsNothing) {
  FILE* first = openToolOutput("/bin/cat", nullptr);
  ASSERT_NE(first, nullptr);
  pid_t holder = pipedChild;
  std::string marker = "touch " + dir.file("started");
  EXPECT_EQ(openToolOutput("/bin/sh", "-c", marker.c_str(), nullptr), nullptr);
  EXPECT_EQ(openToolInput("/bin/sh", "-c", marker.c_str(), ">null", nullptr), nullptr);
  EXPECT_EQ(pipedChild, holder);
  EXPECT_EQ(closeTool(first), 0);
  EXPECT_EQ(pipedChild, -1);
  EXPECT_EQ(closeTool(first), -1) << "the slot was emptied by the first close";
  EXPECT_EQ(closeTool(nullptr), -1);
  usleep(50000);
  EXPECT_EQ(readFile(dir.file("started")), "<missing>");
}

TEST_F(ToolRunnerTest, missingProgramGivesExitCode127) {
  char* argv[] = {const_cast<char*>("/no/such/tool"), nullptr};
  FILE* out = openToolOutput("/no/such/tool", nullptr);
  EXPECT_EQ(out ? readStream(out) : "<none>", "");
  for (int status : {runCommand(nullptr, "/no/such/tool", "arg", nullptr),
                     runProgram(nullptr, "/no/such/tool", argv), closeTool(out),
                     closeTool(openToolInput("/no/such/tool", ">null", nullptr))}) {
    EXPECT_TRUE(exitedWith(status, 127)) << status;
  }
}

TEST_F(ToolRunnerTest, nullMarkerNeverReachesTheToolAndTakesNoSlot) {
  std::string path = useLogFile("args");
  const char* script = "printf '[%s]' \"$0\" \"$@\"";
  const char* cases[][5] = {
      {">null", "-c", script, "zero", "one"},
      {"-c", script, "zero", ">null", "one"},
      {"-c", script, "zero", "one", ">null"},
  };
  for (const auto& w : cases) {
    EXPECT_EQ(closeTool(openToolInput("/bin/sh", w[0], w[1], w[2], w[3], w[4], nullptr)), 0);
    EXPECT_EQ(readFile(path), "[zero][one]");
  }
  // Fourteen words fit the vector, fifteen do not.
  const char* w = "x";
  EXPECT_EQ(runCommand(nullptr, "/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr), 0);
  EXPECT_EQ(runCommand(nullptr, "/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr),
            -1);
  EXPECT_EQ(openToolOutput("/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr),
            nullptr);
  EXPECT_EQ(pipedChild, -1);
  EXPECT_EQ(closeTool(openToolInput("/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, ">null",
                                    nullptr)),
            0);
}

TEST_F(ToolRunnerTest, toolsSeeNoneOfTheInstallersDescriptorsAndReadDevNull) {
  fillDescriptors(15);
  std::string path = useLogFile("fds");
  const char* descriptors =
      "for fd in 3 4 5 6 7 8 9 10 11 12 13 14 15; do [ -e /proc/$$/fd/$fd ] && echo $fd; done; "
      "readlink /proc/$$/fd/0";
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", descriptors, nullptr), 0);
  EXPECT_EQ(readFile(path), "/dev/null\n");
  FILE* out = openToolOutput("/bin/sh", "-c", descriptors, nullptr);
  EXPECT_EQ(out ? readStream(out) : "", "/dev/null\n");
  EXPECT_EQ(closeTool(out), 0);
  EXPECT_EQ(closeTool(openToolInput("/bin/sh", "-c", descriptors, ">null", nullptr)), 0);
  EXPECT_EQ(readFile(path).substr(0, 5), "pipe:");
}

// Each of the first two would hang the installer: a tool that never sees the end of its input
// because a copy of the pipe leaked, or an endless producer closed early. A close whose flush
// fails still collects the child.
TEST_F(ToolRunnerTest, closeToolEndsTheConversationWithoutHanging) {
  fillDescriptors(40);
  FILE* in = openToolInput("/bin/sh", "-c", "cat > /dev/null; exit 4", nullptr);
  ASSERT_NE(in, nullptr);
  fputs("data\n", in);
  EXPECT_TRUE(exitedWith(closeTool(in), 4));
  FILE* out = openToolOutput("/bin/sh", "-c", "while :; do echo endless; done", nullptr);
  ASSERT_NE(out, nullptr);
  char line[64];
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  int status = closeTool(out);
  EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) << status;

  in = openToolInput("/bin/sh", "-c", "exit 0", nullptr);
  ASSERT_NE(in, nullptr);
  pid_t child = pipedChild;
  ASSERT_TRUE(waitUntilReapedByHandler(child));
  fputs("lost", in);  // buffered bytes the ended tool can no longer take: the flush fails
  EXPECT_EQ(closeTool(in), -1);
  EXPECT_EQ(waitForChild(child, &status), -1) << "the child was collected by closeTool";
}

}  // namespace
