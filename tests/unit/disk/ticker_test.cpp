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

#include "base/context.h"

namespace {

// Sleeps the full time although every tick interrupts the sleep.
void sleepMs(int ms) {
  timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

struct Step {
  const char* text;
  int stepMs;            // time between startProgress and stopProgress
  const char* message;   // printed right after the step, or null
  const char* expected;  // everything the console receives
};

// Step lengths keep about half a second clear of every tick, so the count of dots is exact.
const Step kSteps[] = {
    {"Looking for hard drives", 300, nullptr, "Looking for hard drives\n"},
    {"", 3500, nullptr, "...\n"},
    {"Checking file system", 1400, "ERROR: check failed",
     "Checking file system.\nERROR: check failed\n"},
};

TEST(TickerTest, stepsShowTheirTextThenOneDotPerSecondThenALineEnd) {
  pid_t children[3];
  int outputs[3];
  for (int i = 0; i < 3; ++i) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fflush(nullptr);
    children[i] = fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {  // stdout on a pipe is fully buffered, as on no tty
      dup2(ends[1], 1);
      InstallContext context;
      startProgress(context, kSteps[i].text);
      sleepMs(kSteps[i].stepMs);
      stopProgress(context);
      if (kSteps[i].message) {
        puts(kSteps[i].message);
        fflush(stdout);
        sleepMs(1300);  // a late tick would still show
      }
      fflush(stdout);
      _exit(0);
    }
    close(ends[1]);
    outputs[i] = ends[0];
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(std::string("step \"") + kSteps[i].text + "\"");
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(outputs[i], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) text.append(buffer, static_cast<size_t>(got));
    }
    close(outputs[i]);
    while (waitpid(children[i], nullptr, 0) < 0 && errno == EINTR) {
    }
    EXPECT_EQ(text, kSteps[i].expected);
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
