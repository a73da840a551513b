// The console choice, each run in a forked child since it moves the standard descriptors: the
// text console is kept when it opens, otherwise the serial line takes over and the tools'
// output goes to /dev/null; either way descriptors 0-2 are open afterwards.
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/child.h"
#include "program/startup.h"

namespace {

// The exit code of `body` run in a forked child, or -1 when the child did not exit.
int inChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// With neither console the closed descriptors 0-2 come back on /dev/null, and no other is
// left open.
TEST(ChooseConsole, withNeitherConsoleTheClosedStandardDescriptorsOpenOnDevNull) {
  EXPECT_EQ(inChild([] {
              int firstFree = open("/dev/null", O_RDONLY);
              close(firstFree);
              for (int fd = 0; fd <= 2; ++fd) close(fd);
              chooseConsole("/nonexistent/tty0", "/nonexistent/ttyS0");
              for (int fd = 0; fd <= 2; ++fd) {
                if (fcntl(fd, F_GETFD) < 0) return 10 + fd;
              }
              if (strcmp(logTerminalPath, "/dev/null") != 0) return 2;
              return open("/dev/null", O_RDONLY) == firstFree ? 0 : 3;
            }),
            0);
}

// The serial line (a pseudo-terminal here) takes all three over when the text console does
// not open; when it does, nothing moves.
TEST(ChooseConsole, theSerialLineTakesOverOnlyWithoutTextConsole) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string line = ttyname(slave);
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (bool textConsole : {true, false}) {
    int code = inChild([&] {
      int quiet = open("/dev/null", O_RDWR);
      for (int fd = 0; fd <= 2; ++fd) dup2(quiet, fd);
      chooseConsole(textConsole ? "/dev/null" : "/nonexistent/tty0", line.c_str());
      printf("on the line");
      fflush(stdout);
      fputs("!", stderr);
      fflush(stderr);
      bool moved = isatty(0) && line == ttyname(0) && strcmp(logTerminalPath, "/dev/null") == 0;
      return moved != textConsole ? 0 : 1;
    });
    char buffer[64] = {};
    ssize_t got = read(master, buffer, sizeof buffer - 1);
    EXPECT_EQ(code, 0) << textConsole;
    EXPECT_EQ(std::string(buffer, got > 0 ? got : 0), textConsole ? "" : "on the line!");
  }
  close(slave);
  close(master);
}

}  // namespace
