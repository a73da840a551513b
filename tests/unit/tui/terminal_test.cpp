// The console layer against exact bytes: screen sequences and text writers captured from
// standard output, raw mode and key waits driven through a real pseudo-terminal, and the
// end-of-input paths that must return instead of spinning.
#include "tui/terminal.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <ostream>
#include <random>
#include <string>

#include "core/signals.h"
#include "support/pty_harness.h"

namespace {

const std::string kBell = "\a";
const std::string kShowCursor = "\033[?25h";
constexpr double kMaxCpuSecondsAtEndOfInput = 0.5;

std::string spaces(size_t count) {
  return std::string(count, ' ');
}

// ---- Screen sequences -------------------------------------------------------------------

struct SequenceCase {
  const char* name;
  void (*write)();
  const char* expected;
};

void PrintTo(const SequenceCase& c, std::ostream* os) {
  *os << c.name;
}

const SequenceCase kSequences[] = {
    {"gotoXYWritesRowFirst", [] { gotoXY(26, 8); }, "\033[8;26H"},
    {"gotoXYPassesColumnZeroThrough", [] { gotoXY(0, 25); }, "\033[25;0H"},
    {"clearScreenClearsAndHomes", [] { clearScreen(); }, "\033[2J\033[H"},
    {"clearLineErasesWholeLine", [] { clearLine(); }, "\033[2K"},
    {"cursorHidden", [] { setCursorHidden(true); }, "\033[?25l"},
    {"cursorShown", [] { setCursorHidden(false); }, "\033[?25h"},
    {"plainAttributesOnlyReset", [] { setAttributes(0); }, "\033[m"},
    {"reverseAndBold", [] { setAttributes(10); }, "\033[m\033[7m\033[1m"},
    {"allAttributesInFixedOrder", [] { setAttributes(15); }, "\033[m\033[4m\033[7m\033[5m\033[1m"},
    {"unknownBitsIgnored", [] { setAttributes(0x30 | AttrBlink); }, "\033[m\033[5m"},
};

class ScreenSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(ScreenSequence, writesExactBytes) {
  EXPECT_EQ(captureStdout(GetParam().write), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Terminal, ScreenSequence, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<SequenceCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Text writers -----------------------------------------------------------------------

TEST(PrintLine, writesExactlyLengthBytesAndNewline) {
  EXPECT_EQ(captureStdout([] { printLine("abcdef", 3, false); }), "abc\n");
  EXPECT_EQ(captureStdout([] { printLine("a\0b", 3, false); }), std::string("a\0b\n", 4));
}

TEST(PrintLine, centresWithHalfTheRemainingColumnsRoundedDown) {
  EXPECT_EQ(captureStdout([] { printLine("abc", 3, true); }), spaces(38) + "abc\n");
  EXPECT_EQ(captureStdout([] { printLine("ab", 2, true); }), spaces(39) + "ab\n");
  EXPECT_EQ(captureStdout([] { printLine("", 0, true); }), spaces(40) + "\n");
}

TEST(PrintLine, lineOfScreenWidthOrMoreGetsNoPadding) {
  std::string wide79(79, 'w'), wide80(80, 'x'), wide81(81, 'y'), wide300(300, 'z');
  EXPECT_EQ(captureStdout([&] { printLine(wide79.c_str(), 79, true); }), wide79 + "\n");
  EXPECT_EQ(captureStdout([&] { printLine(wide80.c_str(), 80, true); }), wide80 + "\n");
  EXPECT_EQ(captureStdout([&] { printLine(wide81.c_str(), 81, true); }), wide81 + "\n");
  EXPECT_EQ(captureStdout([&] { printLine(wide300.c_str(), 300, true); }), wide300 + "\n");
}

TEST(PrintLines, trailingNewlineGivesCentredEmptyLine) {
  EXPECT_EQ(captureStdout([] { printLines("abc\n", true); }),
            spaces(38) + "abc\n" + spaces(40) + "\n");
}

TEST(PrintLines, cutsAtEveryNewlineWithoutWrapping) {
  std::string longLine(100, 'q');
  std::string text = "a\n\nb\n" + longLine;
  EXPECT_EQ(captureStdout([&] { printLines(text.c_str(), false); }), "a\n\nb\n" + longLine + "\n");
  EXPECT_EQ(captureStdout([] { printLines("", false); }), "\n");
}

TEST(PrintWrapped, emptyTextWritesOneEmptyLine) {
  EXPECT_EQ(captureStdout([] { printWrapped("", false); }), "\n");
  EXPECT_EQ(captureStdout([] { printWrapped("", true); }), spaces(40) + "\n");
  EXPECT_EQ(captureStdout([] { printWrapped(" \n  \n", false); }), "\n");
}

TEST(PrintWrapped, newlinesAndRunsOfSpacesOnlySeparateWords) {
  EXPECT_EQ(captureStdout([] { printWrapped("  one\n\ntwo   three\n", false); }),
            "one two three \n");
}

TEST(PrintWrapped, centringCountsTheTrailingSpace) {
  // "Hello world " is 12 characters: 34 spaces in front.
  EXPECT_EQ(captureStdout([] { printWrapped("Hello world", true); }),
            spaces(34) + "Hello world \n");
}

TEST(PrintWrapped, breaksBeforeTheWordThatWouldPassSeventyEightColumns) {
  // Seven words of 9 fill 70 columns with their spaces; a word of 7 then fills exactly 78.
  std::string nine(9, 'n'), seven(7, 's');
  std::string text;
  for (int i = 0; i < 7; ++i) text += nine + " ";
  std::string firstLine = text + seven + " ";
  ASSERT_EQ(firstLine.size(), 78u);
  text += seven + " x";
  EXPECT_EQ(captureStdout([&] { printWrapped(text.c_str(), false); }), firstLine + "\nx \n");

  // One more character in the eighth word no longer fits.
  std::string tooLong;
  for (int i = 0; i < 7; ++i) tooLong += nine + " ";
  std::string expected = tooLong + "\n" + std::string(8, 's') + " \n";
  tooLong += std::string(8, 's');
  EXPECT_EQ(captureStdout([&] { printWrapped(tooLong.c_str(), false); }), expected);
}

TEST(PrintWrapped, wordOfSeventySevenFillsOneLine) {
  std::string word(77, 'a');
  EXPECT_EQ(captureStdout([&] { printWrapped(word.c_str(), false); }), word + " \n");
}

TEST(PrintWrapped, longWordsAreSplitIntoPiecesThatFit) {
  std::string word78(78, 'b');
  EXPECT_EQ(captureStdout([&] { printWrapped(word78.c_str(), false); }),
            std::string(77, 'b') + " \nb \n");

  std::string text = "hi " + std::string(200, 'c') + " end";
  std::string expected = "hi \n" + std::string(77, 'c') + " \n" + std::string(77, 'c') + " \n" +
                         std::string(46, 'c') + " end \n";
  EXPECT_EQ(captureStdout([&] { printWrapped(text.c_str(), false); }), expected);
  EXPECT_EQ(captureStdout([&] { printWrapped(word78.c_str(), true); }),
            " " + std::string(77, 'b') + " \n" + spaces(39) + "b \n");
}

// Random texts of short and very long words: every line holds at most 78 characters, ends in
// one space, and the words come out in order with nothing lost.
TEST(PrintWrapped, randomTextsKeepEveryWordWithinTheWidth) {
  const unsigned seed = 20261206;
  std::mt19937 random(seed);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int words = static_cast<int>(random() % 40);
    for (int w = 0; w < words; ++w) {
      size_t length = random() % 6 == 0 ? random() % 250 : 1 + random() % 12;
      for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + random() % 26);
      text += random() % 4 == 0 ? "\n " : " ";
    }
    std::string output = captureStdout([&] { printWrapped(text.c_str(), false); });
    std::string joinedIn, joinedOut;
    for (char c : text) {
      if (c != ' ' && c != '\n') joinedIn += c;
    }
    size_t start = 0;
    for (size_t end = output.find('\n'); end != std::string::npos;
         start = end + 1, end = output.find('\n', start)) {
      std::string line = output.substr(start, end - start);
      ASSERT_LE(line.size(), 78u) << "seed " << seed << " round " << round;
      if (!line.empty()) {
        ASSERT_EQ(line.back(), ' ') << "seed " << seed << " round " << round;
      }
      for (char c : line) {
        if (c != ' ') joinedOut += c;
      }
    }
    ASSERT_EQ(start, output.size()) << "output must end with a newline";
    ASSERT_EQ(joinedOut, joinedIn) << "seed " << seed << " round " << round;
  }
}

// ---- Raw mode ---------------------------------------------------------------------------

bool sameAttributes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(RawMode, enteringTwiceThenRestoringReturnsTheOriginalAttributes) {
  PtyResult run = runOnPty([] {
    termios before, first, second, after;
    tcgetattr(0, &before);
    TerminalState state;
    enterRawMode(state);
    tcgetattr(0, &first);
    enterRawMode(state);
    tcgetattr(0, &second);
    int faults = 0;
    if (state.rawActive != 1) faults |= 1;
    if (first.c_lflag & (ICANON | ECHO)) faults |= 2;
    if ((first.c_lflag | ICANON | ECHO) != before.c_lflag) faults |= 4;  // ISIG and the rest kept
    if (first.c_iflag != before.c_iflag || first.c_oflag != before.c_oflag ||
        first.c_cflag != before.c_cflag)
      faults |= 8;
    if (first.c_cc[VMIN] != 1 || first.c_cc[VTIME] != 0) faults |= 16;
    if (!sameAttributes(first, second) || !sameAttributes(state.savedAttributes, before))
      faults |= 32;
    restoreTerminal(state);
    tcgetattr(0, &after);
    if (!sameAttributes(after, before) || state.rawActive != 0) faults |= 64;
    return faults;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kShowCursor);
}

TEST(RawMode, restoringWithoutRawModeOnlyShowsTheCursor) {
  PtyResult run = runOnPty([] {
    termios before, after;
    tcgetattr(0, &before);
    before.c_lflag &= ~static_cast<tcflag_t>(ECHOE);  // a mark that a restore would not know
    tcsetattr(0, TCSANOW, &before);
    TerminalState state;
    restoreTerminal(state);
    restoreTerminal(state);
    tcgetattr(0, &after);
    return sameAttributes(before, after) ? 0 : 1;
  });
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kShowCursor + kShowCursor);
}

TEST(RawMode, localRecordInsideRawConsoleLeavesItRaw) {
  PtyResult run = runOnPty([] {
    termios original, raw, afterLocal, afterGlobal;
    tcgetattr(0, &original);
    TerminalState global, local;
    enterRawMode(global);
    tcgetattr(0, &raw);
    enterRawMode(local);
    restoreTerminal(local);
    tcgetattr(0, &afterLocal);
    restoreTerminal(global);
    tcgetattr(0, &afterGlobal);
    return (sameAttributes(raw, afterLocal) ? 0 : 1) |
           (sameAttributes(original, afterGlobal) ? 0 : 2);
  });
  EXPECT_EQ(run.exitCode, 0);
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
  EXPECT_TRUE(run.stepsDone);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(countOf(run.output, kBell), 0u) << "typed-ahead keys reached the reader";
}

// ---- Key waits --------------------------------------------------------------------------

int enterRawAndWaitForEnter() {
  TerminalState state;
  enterRawMode(state);
  printf("ready");
  int key = waitForEnter(state);
  printf("[%d]", key);
  return 0;
}

TEST(WaitForKey, returnsAtEnterAndRingsOncePerOtherKey) {
  PtyResult run = runOnPty(enterRawAndWaitForEnter, {{{"ready", "a"}, {kBell, "Z 1\x7f\n"}}});
  EXPECT_EQ(run.output, "ready" + std::string(5, '\a') + "[10]");
}

TEST(WaitForKey, carriageReturnFromTheConsoleArrivesAsEnter) {
  PtyResult run = runOnPty(enterRawAndWaitForEnter, {{{"ready", "\r"}}});
  EXPECT_EQ(run.output, "ready[10]");
}

TEST(WaitForKey, arrowKeyIsRefusedByteByByte) {
  PtyResult run = runOnPty(enterRawAndWaitForEnter, {{{"ready", "\033[A\n"}}});
  EXPECT_EQ(run.output, "ready\a\a\a[10]");
}

TEST(WaitForKey, returnsTheAwaitedByteForAnyKey) {
  PtyResult run = runOnPty(
      [] {
        TerminalState state;
        enterRawMode(state);
        printf("ready");
        return waitForKey(state, 'q');
      },
      {{{"ready", "\nQq"}}});
  EXPECT_EQ(run.exitCode, 'q');
  EXPECT_EQ(run.output, "ready\a\a");
}

TEST(WaitForKey, pendingOutputIsOnScreenBeforeTheWait) {
  // Without a flush the awaited text never shows up and the step times out.
  PtyResult run = runOnPty(
      [] {
        TerminalState state;
        enterRawMode(state);
        printf("Press ENTER to reboot");
        return waitForEnter(state) == '\n' ? 0 : 1;
      },
      {{{"Press ENTER to reboot", "\n"}}, false, false, false, 2000});
  EXPECT_TRUE(run.stepsDone);
  EXPECT_EQ(run.exitCode, 0);
}

TEST(WaitForKey, interruptWhileWaitingRunsTheAbortPath) {
  PtyResult run = runOnPty(
      [] {
        installSignalHandlers();
        setAbortRoutine([] {
          printf("aborted");
          fflush(stdout);
          _exit(42);
        });
        TerminalState state;
        enterRawMode(state);
        printf("ready");
        waitForEnter(state);
        return 0;
      },
      {{{"ready", "\003"}}});
  EXPECT_EQ(run.exitCode, 42);
  EXPECT_EQ(run.output, "readyaborted");
}

// ---- The yes/no question ----------------------------------------------------------------

int askContinue() {
  TerminalState state;
  enterRawMode(state);
  return askYesNo(state, "Continue?") ? 1 : 0;
}

TEST(AskYesNo, refusesEnterLettersAndDigitsWithOneBellEach) {
  PtyResult run = runOnPty(
      askContinue, {{{"Continue? [y/n]:", "\n"}, {kBell, "x"}, {kBell, "1"}, {kBell, "Y"}}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, "Continue? [y/n]:\a\a\ay\n");
}

struct AnswerCase {
  const char* keys;
  int result;
  const char* echoed;
};

class AskYesNoAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AskYesNoAnswer, echoesTheAnswerInLowerCase) {
  PtyResult run = runOnPty(askContinue, {{{"Continue? [y/n]:", GetParam().keys}}});
  EXPECT_EQ(run.exitCode, GetParam().result);
  EXPECT_EQ(run.output, std::string("Continue? [y/n]:") + GetParam().echoed);
}

INSTANTIATE_TEST_SUITE_P(Terminal, AskYesNoAnswer,
                         ::testing::Values(AnswerCase{"y", 1, "y\n"}, AnswerCase{"Y", 1, "y\n"},
                                           AnswerCase{"n", 0, "n\n"}, AnswerCase{"N", 0, "n\n"},
                                           AnswerCase{" \033[Bn", 0, "\a\a\a\an\n"},
                                           AnswerCase{"\177ny", 0, "\an\n"}));

// ---- End of input -----------------------------------------------------------------------

// Exit codes: 1 when the reader gave its no-answer result, 0 otherwise.
struct EndOfInputCase {
  const char* name;
  int (*read)();
  bool devNull;  // stdin is /dev/null; otherwise the terminal hangs up
};

void PrintTo(const EndOfInputCase& c, std::ostream* os) {
  *os << c.name;
}

int waitForKeyGivesEof() {
  TerminalState state;
  enterRawMode(state);
  printf("ready");
  return waitForKey(state, 'q') == EOF ? 1 : 0;
}

int askYesNoRefuses() {
  TerminalState state;
  enterRawMode(state);
  printf("ready");
  return askYesNo(state, "Continue?") ? 0 : 1;
}

int readKeyByteGivesEof() {
  printf("ready");
  return readKeyByte() == EOF ? 1 : 0;
}

const EndOfInputCase kEndOfInput[] = {
    {"waitForKeyHangUp", waitForKeyGivesEof, false},
    {"waitForKeyDevNull", waitForKeyGivesEof, true},
    {"askYesNoHangUp", askYesNoRefuses, false},
    {"askYesNoDevNull", askYesNoRefuses, true},
    {"readKeyByteHangUp", readKeyByteGivesEof, false},
    {"readKeyByteDevNull", readKeyByteGivesEof, true},
};

class EndOfInput : public ::testing::TestWithParam<EndOfInputCase> {};

TEST_P(EndOfInput, returnsTheNoAnswerWithoutSpinning) {
  PtyOptions options;
  options.steps = {{"ready", ""}};
  options.hangUpAfterSteps = !GetParam().devNull;
  options.stdinFromDevNull = GetParam().devNull;
  PtyResult run = runOnPty(GetParam().read, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_LT(run.cpuSeconds, kMaxCpuSecondsAtEndOfInput);
}

INSTANTIATE_TEST_SUITE_P(Terminal, EndOfInput, ::testing::ValuesIn(kEndOfInput),
                         [](const ::testing::TestParamInfo<EndOfInputCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
