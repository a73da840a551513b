// The external tool runner against real children (/bin/sh): statuses under the SIGCHLD handler
// and signal rain, where the tools' output goes, the single piped-child slot, the ">null"
// marker and the descriptors a tool gets to see.
#include "disk/tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/signals.h"
#include "disk/ticker.h"

namespace {

constexpr int kStressChildren = 3000;
constexpr int kReapedFirstChildren = 150;

std::string readFile(const std::string& path) {
  std::string text;
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  fclose(file);
  return text;
}

std::string readStream(FILE* stream) {
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  return text;
}

// Sleeps until the SIGCHLD handler has reaped `pid` (the zombie is gone), so that the waiter
// that comes next must find the status in the handler's table.
bool waitUntilReapedByHandler(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    usleep(500);
  }
  return false;
}

// Sends this process's standard output (or error) into a file while alive.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int fd, const std::string& path) : fd_(fd) {
    fflush(nullptr);
    saved_ = dup(fd);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd);
    close(file);
  }
  ~RedirectedDescriptor() {
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

int ticks = 0;
void countTick(int) {
  ++ticks;
}

// SIGALRM every 200 µs with the restart flag, as the installer's own handlers are installed.
void startSignalRain() {
  ticks = 0;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = countTick;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
  struct itimerval every;
  every.it_interval.tv_sec = 0;
  every.it_interval.tv_usec = 200;
  every.it_value = every.it_interval;
  setitimer(ITIMER_REAL, &every, nullptr);
}

void stopSignalRain() {
  struct itimerval off;
  memset(&off, 0, sizeof off);
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_IGN);
}

class ToolRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installSignalHandlers();
    memcpy(savedLogPath_, logTerminalPath, sizeof savedLogPath_);
    snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null");
    char pattern[] = "/tmp/tool-runner-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(pipedChild, -1);
  }
  void TearDown() override {
    memcpy(logTerminalPath, savedLogPath_, sizeof savedLogPath_);
    std::string command = "rm -rf " + dir_;
    (void)system(command.c_str());
  }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  // Makes an empty file of the temporary folder the log terminal and returns its path.
  std::string useLogFile(const char* name) {
    std::string log = path(name);
    EXPECT_LT(log.size(), sizeof logTerminalPath);
    close(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    snprintf(logTerminalPath, sizeof logTerminalPath, "%s", log.c_str());
    return log;
  }

  std::string dir_;
  char savedLogPath_[sizeof logTerminalPath];
};

TEST_F(ToolRunnerTest, everyChildReturnsItsOwnStatusThroughTheReapingHandlerUnderSignalRain) {
  startSignalRain();
  int wrong = 0;
  for (int i = 0; i < kStressChildren && wrong < 5; ++i) {
    int code = (i * 7) % 256;
    char script[64];
    int status = -1;
    switch (i % 3) {
      case 0:
        snprintf(script, sizeof script, "exit %d", code);
        status = runCommand(nullptr, "/bin/sh", "-c", script, nullptr);
        break;
      case 1: {
        snprintf(script, sizeof script, "echo %d; exit %d", code, code);
        FILE* out = openToolOutput("/bin/sh", "-c", script, nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(readStream(out), std::to_string(code) + "\n");
        // Every tenth one has long ended before anyone waits for it.
        if (i % 10 == 1) usleep(2000);
        status = closeTool(out);
        break;
      }
      default: {
        FILE* in = openToolInput("/bin/sh", "-c", "read code; exit $code", nullptr);
        ASSERT_NE(in, nullptr);
        fprintf(in, "%d\n", code);
        status = closeTool(in);
        break;
      }
    }
    if (!(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code)) {
      ++wrong;
      ADD_FAILURE() << "child " << i << " expected exit " << code << ", status " << status;
    }
  }
  stopSignalRain();
  EXPECT_GT(ticks, 100) << "the rain never fell";
}

TEST_F(ToolRunnerTest, childReapedByTheHandlerBeforeTheWaitStillGivesItsStatus) {
  for (int i = 0; i < kReapedFirstChildren; ++i) {
    int code = (i * 13 + 1) % 256;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(code);
    ASSERT_TRUE(waitUntilReapedByHandler(child));
    int status = -1;
    ASSERT_EQ(waitForChild(child, &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << "status " << status;
    EXPECT_EQ(waitForChild(child, &status), -1) << "a status is handed out once";
  }
}

TEST_F(ToolRunnerTest, pipedToolReapedByTheHandlerBeforeCloseStillGivesItsStatus) {
  for (int i = 0; i < kReapedFirstChildren; ++i) {
    int code = (i * 11 + 3) % 256;
    char script[32];
    snprintf(script, sizeof script, "exit %d", code);
    FILE* stream = i % 2 ? openToolInput("/bin/sh", "-c", script, nullptr)
                         : openToolOutput("/bin/sh", "-c", script, nullptr);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(waitUntilReapedByHandler(pipedChild));
    int status = closeTool(stream);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code)
        << "status " << status;
  }
}

TEST_F(ToolRunnerTest, orphanStatusesNobodyWaitsForDoNotCrowdOutAWaitersStatus) {
  // Children that are never waited for, as the orphans that PID 1 inherits: more than the
  // handler's table holds.
  for (int i = 0; i < 100; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(1);
    ASSERT_TRUE(waitUntilReapedByHandler(child));
  }
  int status = runCommand(nullptr, "/bin/sh", "-c", "sleep 0.05; exit 7", nullptr);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  FILE* in = openToolInput("/bin/sh", "-c", "exit 8", nullptr);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(waitUntilReapedByHandler(pipedChild));
  status = closeTool(in);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 8) << status;
}

TEST_F(ToolRunnerTest, tickerRunningDuringALongToolDoesNotDisturbItsStatus) {
  InstallContext context;
  int status;
  {
    RedirectedDescriptor quiet(1, path("console"));
    startProgress(context, "Formatting");
    status = runCommand(nullptr, "/bin/sh", "-c", "sleep 1.3; exit 9", nullptr);
    stopProgress(context);
  }
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;
  EXPECT_EQ(readFile(path("console")), "Formatting.\n");
}

TEST_F(ToolRunnerTest, toolOutputVanishesWhenTheLogTerminalIsDevNull) {
  int status;
  {
    RedirectedDescriptor out(1, path("stdout"));
    RedirectedDescriptor err(2, path("stderr"));
    status = runCommand(nullptr, "/bin/sh", "-c", "echo chatter; echo noise >&2", nullptr);
    FILE* in = openToolInput("/bin/sh", "-c", "echo chatter; echo noise >&2", ">null", nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(closeTool(in), 0);
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(path("stdout")), "");
  EXPECT_EQ(readFile(path("stderr")), "");
}

TEST_F(ToolRunnerTest, toolOutputAndErrorsLandOnTheLogTerminal) {
  std::string log = useLogFile("tty9");
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", "echo out; echo err >&2", nullptr), 0);
  EXPECT_EQ(readFile(log), "out\nerr\n");
  FILE* out = openToolOutput("/bin/sh", "-c", "echo piped; echo warning >&2", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(readStream(out), "piped\n");
  EXPECT_EQ(closeTool(out), 0);
  EXPECT_EQ(readFile(log), "warning\n") << "each tool opens the log afresh from its start";
}

TEST_F(ToolRunnerTest, inputToolWithoutMarkerKeepsTheConsoleAndWithMarkerUsesTheLog) {
  std::string log = useLogFile("tty9");
  {
    RedirectedDescriptor console(1, path("console"));
    printf("before ");  // still buffered when the tool starts: must come first
    FILE* in = openToolInput("/bin/sh", "-c", "read word; echo $word", nullptr);
    ASSERT_NE(in, nullptr);
    fputs("visible\n", in);
    EXPECT_EQ(closeTool(in), 0);
    in = openToolInput("/bin/sh", "-c", "read word; echo $word; echo $word >&2", ">null", nullptr);
    ASSERT_NE(in, nullptr);
    fputs("logged\n", in);
    EXPECT_EQ(closeTool(in), 0);
  }
  EXPECT_EQ(readFile(path("console")), "before visible\n");
  EXPECT_EQ(readFile(log), "logged\nlogged\n");
}

TEST_F(ToolRunnerTest, missingLogTerminalStillGivesTheToolOutputDescriptors) {
  snprintf(logTerminalPath, sizeof logTerminalPath, "%s", "/nonexistent/tty9");
  // A free descriptor 1 or 2 would be taken by the next file the tool opens.
  const char* script =
      "test \"$(readlink /proc/$$/fd/1)\" = /dev/null && "
      "test \"$(readlink /proc/$$/fd/2)\" = /dev/null";
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", script, nullptr), 0);
  FILE* in = openToolInput("/bin/sh", "-c", script, ">null", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(closeTool(in), 0);
  FILE* out =
      openToolOutput("/bin/sh", "-c", "test \"$(readlink /proc/$$/fd/2)\" = /dev/null", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(closeTool(out), 0);
}

TEST_F(ToolRunnerTest, secondOpenWhileAPipedChildExistsReturnsNullAndStartsNothing) {
  FILE* first = openToolOutput("/bin/cat", nullptr);
  ASSERT_NE(first, nullptr);
  pid_t holder = pipedChild;
  std::string marker = "touch " + path("started");
  EXPECT_EQ(openToolOutput("/bin/sh", "-c", marker.c_str(), nullptr), nullptr);
  EXPECT_EQ(openToolInput("/bin/sh", "-c", marker.c_str(), nullptr), nullptr);
  EXPECT_EQ(openToolInput("/bin/sh", "-c", marker.c_str(), ">null", nullptr), nullptr);
  EXPECT_EQ(pipedChild, holder);
  EXPECT_EQ(closeTool(first), 0);
  EXPECT_EQ(pipedChild, -1);
  usleep(50000);
  struct stat st;
  EXPECT_NE(stat(path("started").c_str(), &st), 0);
}

TEST_F(ToolRunnerTest, closeToolWithoutAPipedChildReturnsMinusOne) {
  EXPECT_EQ(closeTool(nullptr), -1);
  FILE* out = openToolOutput("/bin/true", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(closeTool(out), 0);
  EXPECT_EQ(closeTool(out), -1) << "the slot was emptied by the first close";
}

TEST_F(ToolRunnerTest, missingProgramGivesExitCode127) {
  int status = runCommand(nullptr, "/no/such/tool", "arg", nullptr);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  char* argv[] = {const_cast<char*>("/no/such/tool"), nullptr};
  status = runProgram(nullptr, "/no/such/tool", argv);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  FILE* out = openToolOutput("/no/such/tool", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(readStream(out), "");
  status = closeTool(out);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  FILE* in = openToolInput("/no/such/tool", ">null", nullptr);
  ASSERT_NE(in, nullptr);
  status = closeTool(in);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
}

TEST_F(ToolRunnerTest, nullMarkerNeverReachesTheToolWhereverItStands) {
  std::string log = useLogFile("args");
  const char* script = "printf '[%s]' \"$0\" \"$@\"";
  struct Case {
    const char* words[6];
  } cases[] = {
      {{">null", "-c", script, "zero", "one", nullptr}},
      {{"-c", ">null", script, "zero", "one", nullptr}},
      {{"-c", script, "zero", ">null", "one", nullptr}},
      {{"-c", script, "zero", "one", ">null", nullptr}},
  };
  for (const Case& c : cases) {
    FILE* in = openToolInput("/bin/sh", c.words[0], c.words[1], c.words[2], c.words[3], c.words[4],
                             nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(closeTool(in), 0);
    EXPECT_EQ(readFile(log), "[zero][one]");
  }
}

TEST_F(ToolRunnerTest, outputToolIsReadLineByLine) {
  FILE* out = openToolOutput("/bin/sh", "-c", "printf 'first\\nsecond\\n'; exit 3", nullptr);
  ASSERT_NE(out, nullptr);
  char line[64];
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "first\n");
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "second\n");
  EXPECT_EQ(fgets(line, sizeof line, out), nullptr);
  int status = closeTool(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

TEST_F(ToolRunnerTest, closingAnOutputToolEarlyEndsItInsteadOfHanging) {
  FILE* out = openToolOutput("/bin/sh", "-c", "while :; do echo endless; done", nullptr);
  ASSERT_NE(out, nullptr);
  char line[64];
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  int status = closeTool(out);
  EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) << status;
}

TEST_F(ToolRunnerTest, wordListsBeyondTheVectorAreRefused) {
  const char* w = "x";
  EXPECT_EQ(runCommand(nullptr, "/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr), 0);
  EXPECT_EQ(runCommand(nullptr, "/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr),
            -1);
  EXPECT_EQ(openToolOutput("/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, w, nullptr),
            nullptr);
  EXPECT_EQ(pipedChild, -1);
  FILE* in = openToolInput("/bin/true", w, w, w, w, w, w, w, w, w, w, w, w, w, w, ">null", nullptr);
  ASSERT_NE(in, nullptr) << "the marker takes no slot";
  EXPECT_EQ(closeTool(in), 0);
}

// Fills descriptors 3..kHigh with /dev/null (open across exec), as a busy installer might.
class OpenDescriptors {
 public:
  explicit OpenDescriptors(int high) {
    for (int fd = 3; fd <= high; ++fd) {
      if (fcntl(fd, F_GETFD) != -1) continue;
      int opened = open("/dev/null", O_RDONLY);
      if (opened != fd) {
        dup2(opened, fd);
        close(opened);
      }
      ours_.push_back(fd);
    }
  }
  ~OpenDescriptors() {
    for (int fd : ours_) close(fd);
  }

 private:
  std::vector<int> ours_;
};

// The descriptors below 16 in an `ls -1 /proc/self/fd` listing. ls opens the folder on the
// lowest free number, so a clean tool shows "0 1 2 3 "; a leaked one adds a number.
std::string lowDescriptors(const std::string& listing) {
  std::string low;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    int fd = atoi(listing.substr(start, end - start).c_str());
    if (fd < 16) low += std::to_string(fd) + " ";
    start = end + 1;
  }
  return low;
}

TEST_F(ToolRunnerTest, toolsSeeNoneOfTheInstallersDescriptorsBelow16) {
  OpenDescriptors busy(15);
  std::string log = useLogFile("fds");
  EXPECT_EQ(runCommand(nullptr, "/bin/ls", "-1", "/proc/self/fd", nullptr), 0);
  EXPECT_EQ(lowDescriptors(readFile(log)), "0 1 2 3 ");
  FILE* out = openToolOutput("/bin/ls", "-1", "/proc/self/fd", nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(lowDescriptors(readStream(out)), "0 1 2 3 ");
  EXPECT_EQ(closeTool(out), 0);
  log = useLogFile("fds2");
  FILE* in = openToolInput("/bin/ls", "-1", "/proc/self/fd", ">null", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(closeTool(in), 0);
  EXPECT_EQ(lowDescriptors(readFile(log)), "0 1 2 3 ");
}

TEST_F(ToolRunnerTest, awaitedToolReadsDevNullAsInput) {
  std::string log = useLogFile("stdin");
  EXPECT_EQ(runCommand(nullptr, "/bin/sh", "-c", "readlink /proc/$$/fd/0", nullptr), 0);
  EXPECT_EQ(readFile(log), "/dev/null\n");
}

TEST_F(ToolRunnerTest, inputToolSeesEndOfInputEvenWhenThePipeLiesAboveDescriptor15) {
  OpenDescriptors busy(40);
  FILE* in = openToolInput("/bin/sh", "-c", "cat > /dev/null; exit 4", nullptr);
  ASSERT_NE(in, nullptr);
  fputs("data\n", in);
  int status = closeTool(in);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
}

TEST_F(ToolRunnerTest, closeToolReportsAFailedCloseButStillCollectsTheChild) {
  FILE* in = openToolInput("/bin/sh", "-c", "exit 0", nullptr);
  ASSERT_NE(in, nullptr);
  pid_t child = pipedChild;
  ASSERT_TRUE(waitUntilReapedByHandler(child));
  // Buffered bytes that the ended tool can no longer take: the flush in the close fails.
  fputs("lost", in);
  EXPECT_EQ(closeTool(in), -1);
  int status;
  EXPECT_EQ(waitForChild(child, &status), -1) << "the child was collected by closeTool";
}

}  // namespace
