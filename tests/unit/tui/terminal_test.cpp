// The console layer against exact bytes: the text writers and the attribute order captured
// from standard output, raw mode and key waits driven through a real pseudo-terminal. The
// fixed screen sequences are seen in the menu's whole screen (tests/menu); end of input for
// every reader is in prompts_test.cpp.
#include "tui/terminal.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/signals.h"  // waitForInput
#include "support/pty_harness.h"

namespace {

const std::string kShowCursor = "\033[?25h";

std::string spaces(size_t count) {
  return std::string(count, ' ');
}

std::string wrapped(const std::string& text, bool centred = false) {
  return captureStdout([&] { printWrapped(text.c_str(), centred); });
}

TEST(ConsoleOutput, writesExactBytes) {
  const std::string w80(80, 'x'), w300(300, 'z');
  const struct {
    std::function<void()> write;
    std::string expected;
  } cases[] = {
      {[] { setAttributes(15); }, "\033[m\033[4m\033[7m\033[5m\033[1m"},
      {[] { setAttributes(0x30 | AttrBlink); }, "\033[m\033[5m"},
      {[] { printLine("abcdef", 3, false); }, "abc\n"},
      {[] { printLine("a\0b", 3, false); }, std::string("a\0b\n", 4)},
      {[] { printLine("abc", 3, true); }, spaces(38) + "abc\n"},
      {[] { printLine("ab", 2, true); }, spaces(39) + "ab\n"},
      {[&] { printLine(w80.c_str(), 80, true); }, w80 + "\n"},
      {[&] { printLine(w300.c_str(), 300, true); }, w300 + "\n"},
      {[] { printLines("abc\n", true); }, spaces(38) + "abc\n" + spaces(40) + "\n"},
      {[&] { printLines(("a\n\nb\n" + w300).c_str(), false); }, "a\n\nb\n" + w300 + "\n"},
      {[] { printLines("", false); }, "\n"},
      {[] { printWrapped("", false); }, "\n"},
      {[] { printWrapped("", true); }, spaces(40) + "\n"},
      {[] { printWrapped(" \n  \n", false); }, "\n"},
      {[] { printWrapped("  one\n\ntwo   three\n", false); }, "one two three \n"},
      // The trailing space counts for the centring.
      {[] { printWrapped("Hello world", true); }, spaces(34) + "Hello world \n"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(captureStdout(cases[i].write), cases[i].expected) << "case " << i;
  }
}

TEST(PrintWrapped, breaksBeforeTheWordThatWouldPassSeventyEightColumns) {
  std::string sevenNines;
  for (int i = 0; i < 7; ++i) sevenNines += std::string(9, 'n') + " ";  // 70 columns
  EXPECT_EQ(wrapped(sevenNines + "sssssss x"), sevenNines + "sssssss \nx \n");
  EXPECT_EQ(wrapped(sevenNines + "ssssssss"), sevenNines + "\nssssssss \n");
  EXPECT_EQ(wrapped(std::string(77, 'a')), std::string(77, 'a') + " \n");
  // Words too long for a line are cut into pieces that fit.
  EXPECT_EQ(wrapped(std::string(78, 'b')), std::string(77, 'b') + " \nb \n");
  EXPECT_EQ(wrapped(std::string(78, 'b'), true),
            " " + std::string(77, 'b') + " \n" + spaces(39) + "b \n");
  EXPECT_EQ(wrapped("hi " + std::string(200, 'c') + " end"),
            "hi \n" + std::string(77, 'c') + " \n" + std::string(77, 'c') + " \n" +
                std::string(46, 'c') + " end \n");
}

// ---- Raw mode ---------------------------------------------------------------------------

bool sameAttributes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(RawMode, enteringTwiceThenRestoringReturnsTheOriginalAttributesOnce) {
  PtyResult run = runOnPty([] {
    termios before, first, second, afterLocal, after;
    tcgetattr(0, &before);
    TerminalState state, local;
    enterRawMode(state);
    tcgetattr(0, &first);
    enterRawMode(state);
    tcgetattr(0, &second);
    // A second record taken inside raw mode must give back raw mode, not the original.
    enterRawMode(local);
    restoreTerminal(local);
    tcgetattr(0, &afterLocal);
    int faults = 0;
    if (state.rawActive != 1 || (first.c_lflag & (ICANON | ECHO))) faults |= 1;
    if ((first.c_lflag | ICANON | ECHO) != before.c_lflag || first.c_iflag != before.c_iflag ||
        first.c_oflag != before.c_oflag || first.c_cflag != before.c_cflag)
      faults |= 2;  // ISIG and everything else kept
    if (first.c_cc[VMIN] != 1 || first.c_cc[VTIME] != 0) faults |= 4;
    if (!sameAttributes(first, second) || !sameAttributes(state.savedAttributes, before))
      faults |= 8;
    if (!sameAttributes(first, afterLocal)) faults |= 16;
    restoreTerminal(state);
    tcgetattr(0, &after);
    if (!sameAttributes(after, before) || state.rawActive != 0) faults |= 32;
    // Not raw any more: a restore only shows the cursor, whatever the terminal is set to now.
    after.c_lflag &= ~static_cast<tcflag_t>(ECHOE);
    tcsetattr(0, TCSANOW, &after);
    restoreTerminal(state);
    tcgetattr(0, &before);
    if (!sameAttributes(after, before)) faults |= 64;
    return faults;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kShowCursor + kShowCursor + kShowCursor);
}

TEST(RawMode, enteringDiscardsKeysTypedAhead) {
  PtyResult run = runOnPty(
      [] {
        printf("ready");
        fflush(stdout);
        waitForInput(0, -1);  // the typed-ahead line is there
        TerminalState state;
        enterRawMode(state);
        printf("go");
        return waitForKey(state, 'q') == 'q' ? 0 : 1;
      },
      {{{"ready", "x\n"}, {"go", "q"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(countOf(run.output, "\a"), 0u) << "typed-ahead keys reached the reader";
}

// ---- Key waits ---------------------------------------------------------------------------

TEST(WaitForKey, returnsAtTheAwaitedKeyAndRingsOncePerOtherByte) {
  // "ready" only shows up if the wait puts pending output on screen first.
  const struct {
    int awaited;
    const char* keys;
    const char* expected;
  } cases[] = {
      {'\n', "aZ 1\x7f\n", "ready\a\a\a\a\a[10]"},
      {'\n', "\r", "ready[10]"},  // the console's Enter
      {'\n', "\033[A\n", "ready\a\a\a[10]"},
      {'q', "\nQq", "ready\a\a[113]"},
  };
  for (const auto& c : cases) {
    int awaited = c.awaited;
    PtyResult run = runOnPty(
        [awaited] {
          TerminalState state;
          enterRawMode(state);
          printf("ready");
          int key = awaited == '\n' ? waitForEnter(state) : waitForKey(state, awaited);
          printf("[%d]", key);
          return 0;
        },
        {{{"ready", c.keys}}});
    EXPECT_EQ(run.output, c.expected) << c.keys;
  }
}

}  // namespace
