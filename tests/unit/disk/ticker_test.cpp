// The progress ticker in virtual time: the recording platform holds the alarm, and each raised
// SIGALRM stands for one second gone by. The bytes are exactly what descriptor 1 receives.
#include "disk/ticker.h"

#include <signal.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "base/context.h"
#include "support/fake_platform.h"
#include "support/pty_harness.h"

namespace {

TEST(Ticker, stepShowsItsTextThenOneDotASecondThenTheLineEndAndFallsSilent) {
  const struct {
    const char* text;
    int seconds;
    const char* expected;
  } steps[] = {{"Looking for hard drives", 0, "Looking for hard drives\n"},
               {"", 3, "...\n"},
               {"Checking file system", 1, "Checking file system.\n"}};
  for (const auto& step : steps) {
    FakePlatform fake;
    InstallContext context;
    unsigned armedWhileRunning = 0;
    struct sigaction ticking, stopped;
    std::string out = captureStdout([&] {
      startProgress(context, step.text);
      sigaction(SIGALRM, nullptr, &ticking);
      armedWhileRunning = fake.alarmArmed;
      for (int second = 0; second < step.seconds; ++second) {
        fake.alarmArmed = 0;  // the alarm went off: each tick arms the next
        raise(SIGALRM);
        armedWhileRunning = std::min(armedWhileRunning, fake.alarmArmed);
      }
      stopProgress(context);
      raise(SIGALRM);  // a late tick
    });
    sigaction(SIGALRM, nullptr, &stopped);
    EXPECT_EQ(out, step.expected);
    EXPECT_EQ(armedWhileRunning, 1u) << step.text;
    EXPECT_EQ(fake.alarmArmed, 0u) << step.text;
    EXPECT_NE(ticking.sa_flags & SA_RESTART, 0);  // a tick must not break reads and waits off
    EXPECT_EQ(stopped.sa_handler, SIG_IGN);
  }
}

}  // namespace
