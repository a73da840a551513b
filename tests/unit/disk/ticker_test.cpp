// The progress ticker as the console sees it: each step runs in a forked child whose standard
// output is a pipe, so the bytes are exactly what the text, the dots and the line end make.
// The steps run side by side, which keeps the whole table within the longest step.
#include "disk/ticker.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/context.h"

namespace {

// Sleeps the full time although every tick interrupts the sleep.
void sleepMs(int ms) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

struct Step {
  const char* text;
  int stepMs;            // time between startProgress and stopProgress
  const char* message;   // printed right after the step, or null
  int afterMs;           // time the child stays alive afterwards
  const char* expected;  // everything the console receives
};

struct RunningStep {
  pid_t child;
  int output;
};

// Runs `step` in a child whose descriptor 1 is a pipe (stdout fully buffered, as on no tty).
RunningStep startStep(const Step& step) {
  int ends[2];
  if (pipe(ends) != 0) return {-1, -1};
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    dup2(ends[1], 1);
    close(ends[1]);
    InstallContext context;
    startProgress(context, step.text);
    sleepMs(step.stepMs);
    stopProgress(context);
    if (step.message) puts(step.message);
    fflush(stdout);
    sleepMs(step.afterMs);
    _exit(0);
  }
  close(ends[1]);
  return {child, ends[0]};
}

std::string collect(const RunningStep& running) {
  std::string text;
  char buffer[256];
  for (;;) {
    ssize_t got = read(running.output, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(running.output);
  int status = 0;
  while (waitpid(running.child, &status, 0) < 0 && errno == EINTR) {
  }
  return text;
}

// Step lengths keep about half a second clear of every tick, so the count of dots is exact.
const Step kSteps[] = {
    {"Looking for hard drives", 300, nullptr, 0, "Looking for hard drives\n"},
    {"", 200, nullptr, 0, "\n"},
    {"", 3500, nullptr, 0, "...\n"},
    {"Formatting /dev/hda1", 2500, nullptr, 0, "Formatting /dev/hda1..\n"},
    {"Checking file system", 1400, "ERROR: check failed", 1300,
     "Checking file system.\nERROR: check failed\n"},
};

TEST(TickerTest, stepsShowTheirTextThenOneDotPerSecondThenALineEnd) {
  std::vector<RunningStep> running;
  for (const Step& step : kSteps) {
    running.push_back(startStep(step));
    ASSERT_GT(running.back().child, 0);
  }
  for (size_t i = 0; i < running.size(); ++i) {
    SCOPED_TRACE(std::string("step \"") + kSteps[i].text + "\" of " +
                 std::to_string(kSteps[i].stepMs) + " ms");
    EXPECT_EQ(collect(running[i]), kSteps[i].expected);
  }
}

TEST(TickerTest, stoppedTickerLeavesAlarmIgnoredAndNothingPending) {
  int saved = dup(1);
  int quiet = open("/dev/null", O_WRONLY);
  dup2(quiet, 1);
  close(quiet);
  InstallContext context;
  startProgress(context, "Step");
  stopProgress(context);
  dup2(saved, 1);
  close(saved);
  struct sigaction current;
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
  EXPECT_NE(current.sa_flags & SA_RESTART, 0);
  EXPECT_EQ(alarm(0), 0u) << "an alarm was still pending";
}

}  // namespace
