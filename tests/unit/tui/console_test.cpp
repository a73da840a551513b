// The console layer on exact bytes: the text writers and the attribute order in-process; raw
// mode, key waits, the prompts and both yes/no questions on a real pseudo-terminal; and every
// key reader's no-answer when the console goes away. The fixed sequences are seen in the
// menu's whole screen.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>

#include "base/signals.h"  // waitForInput
#include "packages/menu.h"
#include "support/pty_harness.h"
#include "tui/progress_bar.h"
#include "tui/prompts.h"
#include "tui/terminal.h"

namespace {

const std::string kShowCursor = "\033[?25h";
std::string spaces(size_t count) {
  return std::string(count, ' ');
}

std::string wrapped(const std::string& text, bool centred = false) {
  return captureStdout([&] { printWrapped(text.c_str(), centred); });
}

TEST(ConsoleOutput, writesExactBytes) {
  const std::string w300(300, 'z');
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
      {[&] { printLine(w300.c_str(), 300, true); }, w300 + "\n"},
      {[] { printLines("abc\n", true); }, spaces(38) + "abc\n" + spaces(40) + "\n"},
      {[&] { printLines(("a\n\nb\n" + w300).c_str(), false); }, "a\n\nb\n" + w300 + "\n"},
      {[] { printWrapped("", false); }, "\n"},
      {[] { printWrapped("", true); }, spaces(40) + "\n"},
      {[] { printWrapped(" \n  \n", false); }, "\n"},
      {[] { printWrapped("  one\n\ntwo   three\n", false); }, "one two three \n"},
      // The trailing space counts for the centring.
      {[] { printWrapped("Hello world", true); }, spaces(34) + "Hello world \n"},
      // The bar only ever grows, and never past its width.
      {[] {
         ProgressBar bar;
         initProgress(bar, 4, 8);
         updateProgress(bar, 8);  // not drawn yet: nothing
         drawFrame(bar);
         for (uint32_t value : {2u, 1u, 5u, 40u, 3u}) updateProgress(bar, value);
         finishProgress(bar);
       },
       "[    ]\r[#\r[##\r[####\n"},
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

const std::string kHideCursor = "\033[?25l";
const std::string kReverse = "\033[m\033[7m";
const std::string kPlain = "\033[m";
// The start of every (re)drawn netmask line.
const std::string kLine = "\033[2K\rEnter routers netmask bit count: ";
const std::string kAddressLine = "\033[2K\rEnter routers IP address: ";

// The output ends with the answer, and is `screen` and the answer when a screen is given.
void expectShown(const PtyResult& run, const std::string& screen, const std::string& answer,
                 const std::string& keys) {
  ASSERT_GE(run.output.size(), answer.size()) << keys;
  EXPECT_EQ(run.output.substr(run.output.size() - answer.size()), answer) << keys;
  if (!screen.empty()) {
    EXPECT_EQ(run.output, screen + answer) << keys;
  }
}

struct TextCase {
  const char* defaultText;
  int size;
  std::string keys;
  std::string answer;
  std::string screen;         // everything written before the answer; empty: not compared
  bool defaultIsOut = false;  // the caller passes its answer buffer as the default
};

TEST(PromptText, linesAndAnswersFollowTheKeys) {
  const std::string shown24 = kLine + kReverse + "24" + kPlain + kShowCursor;
  const std::string acceptedAgain = "\rEnter routers netmask bit count: ";
  const TextCase cases[] = {
      // Enter accepts the default and redraws it plain; DEL leaves the default alone.
      {"24", 10, "\n", "24", shown24 + acceptedAgain + "24" + kHideCursor},
      {"24", 10, "\177\177\n", "24", shown24 + acceptedAgain + "24" + kHideCursor},
      // The first key replaces the whole default.
      {"24", 10, "16\n", "16", shown24 + kLine + "16" + kHideCursor},
      {"24", 10, "1\177\n", "", shown24 + kLine + "1" + kLine + kHideCursor},
      {nullptr, 10, "\n", "", kLine + kShowCursor + kHideCursor},
      {nullptr, 10, "\177a\177\177b\n", "b", kLine + kShowCursor + "a" + kLine + "b" + kHideCursor},
      // Size 10 holds nine characters; DEL at the limit makes room again.
      {nullptr, 10, "123456789abc\n", "123456789", kLine + kShowCursor + "123456789" + kHideCursor},
      {nullptr, 4, "abcd\177xy\n", "abx", ""},
      {nullptr, 10, "\033[A\n", "\033[A", ""},  // no key is special but Enter and DEL
      {nullptr, 10, std::string("a\0b\n", 4), "ab", kLine + kShowCursor + "ab" + kHideCursor},
      {"9600", 10, "\n", "9600", "", true},
      {"123456", 4, "\n", "123",
       kLine + kReverse + "123" + kPlain + kShowCursor + acceptedAgain + "123" + kHideCursor},
  };
  for (const TextCase& c : cases) {
    PtyResult run = runOnPty(
        [&c] {
          TerminalState state;
          enterRawMode(state);
          char out[64];
          memset(out, 'Z', sizeof out);
          const char* shown = c.defaultIsOut ? strcpy(out, c.defaultText) : c.defaultText;
          bool ok = promptText("Enter routers netmask bit count", shown, out, c.size);
          printf("<%s>", out);
          return ok ? 1 : 0;
        },
        {{{kShowCursor, c.keys}}});
    EXPECT_EQ(run.exitCode, 1) << c.keys;
    expectShown(run, c.screen, "<" + c.answer + ">", c.keys);
  }
}

TEST(PromptAddress, asksAgainSilentlyUntilAnAddressComes) {
  const std::string shownDefault = kAddressLine + kReverse + "192.168.1.254" + kPlain;
  const struct {
    const char* defaultAddress;
    const char* keys;
    size_t asks;
    std::string answer;
  } cases[] = {
      {nullptr, "300.1.1.1\n\n10.1\n", 3, "10.0.0.1"},  // inet_aton's short form
      {"192.168.1.254", "x\n\n", 2, "192.168.1.254"},   // the default shown again
  };
  for (const auto& c : cases) {
    PtyResult run = runOnPty(
        [&c] {
          TerminalState state;
          enterRawMode(state);
          in_addr result;
          result.s_addr = promptAddress("Enter routers IP address",
                                        c.defaultAddress ? inet_addr(c.defaultAddress) : 0);
          printf("[%s]", inet_ntoa(result));
          return 0;
        },
        {{{kShowCursor, c.keys}}});
    EXPECT_EQ(countOf(run.output, c.defaultAddress ? shownDefault : kAddressLine), c.asks)
        << c.keys;
    EXPECT_EQ(countOf(run.output, "\a"), 0u) << c.keys;
    expectShown(run, "", "[" + c.answer + "]", c.keys);
  }
}

using Reader = int (*)(TerminalState&);
const Reader kEnter = [](TerminalState& state) { return waitForEnter(state); };
const Reader kQ = [](TerminalState& state) { return waitForKey(state, 'q'); };
const Reader kAsk = [](TerminalState& state) -> int { return askYesNo(state, "Keep config?"); };
const Reader kPromptYesNo = [](TerminalState&) -> int { return promptYesNo("Keep config?"); };

// Runs a reader after "ready", which shows up only if the reader puts pending output on screen;
// then types `keys`, or ends the input (`endOfInput`: hang-up, or /dev/null from the start).
PtyResult runReader(Reader read, const std::string& keys, int endOfInput = 0) {
  auto body = [read] {
    TerminalState state;
    enterRawMode(state);
    printf("ready");
    return read(state);
  };
  return endOfInput ? runAtEndOfInput(body, "ready", endOfInput == 2)
                    : runOnPty(body, {{{"ready", keys}}});
}

// The waits return the awaited key and ring once per other byte; the yes/no questions echo the
// answer in lower case, and promptYesNo shows the cursor while it waits.
TEST(KeyReaders, returnTheAwaitedKeyAndRingOncePerRefusedByte) {
  const std::string yesNo = "readyKeep config? [y/n]:", shown = yesNo + kShowCursor;
  const struct {
    Reader read;
    std::string keys, output;
    int result;
  } cases[] = {
      {kEnter, "aZ 1\x7f\n", "ready\a\a\a\a\a", '\n'},
      {kEnter, "\r", "ready", '\n'},  // the console's Enter
      {kQ, "\nQq", "ready\a\a", 'q'},
      {kAsk, "\nx1Y", yesNo + "\a\a\ay\n", 1},
      {kAsk, " \033[Bn", yesNo + "\a\a\a\an\n", 0},  // an arrow key is three refused bytes
      {kAsk, "\177ny", yesNo + "\an\n", 0},
      {kPromptYesNo, "\nN", shown + "\an\n" + kHideCursor, 0},
      {kPromptYesNo, "y", shown + "y\n" + kHideCursor, 1},
  };
  for (const auto& c : cases) {
    PtyResult run = runReader(c.read, c.keys);
    EXPECT_EQ(run.exitCode, c.result) << c.keys;
    EXPECT_EQ(run.output, c.output) << c.keys;
  }
}

// Each returns its no-answer (here 1) with the console hung up or with standard input on
// /dev/null, at once rather than spinning on the dead console.
TEST(KeyReaders, endOfInputGivesTheNoAnswerWithoutSpinning) {
  const Reader readers[] = {
      [](TerminalState& state) -> int { return kQ(state) == EOF; },
      [](TerminalState& state) -> int { return kEnter(state) == EOF; },
      [](TerminalState& state) -> int { return !kAsk(state); },
      [](TerminalState& state) -> int { return !kPromptYesNo(state); },
      [](TerminalState&) -> int {
        char out[10];
        memset(out, 'Z', sizeof out);
        return !promptText("label", "24", out, sizeof out) && out[0] == '\0';
      },
      [](TerminalState&) -> int { return promptAddress("IP", inet_addr("10.0.0.1")) == 0; },
      [](TerminalState&) -> int {  // a size below one has no room for an answer at all
        char out[1] = {'Z'};
        return !promptText("label", nullptr, out, 0) && out[0] == 'Z';
      },
      [](TerminalState&) -> int {
        PackageMenu menu;
        menu.entries.push_back(new SelectablePackage);
        return !runPackageMenu(menu);
      },
  };
  for (size_t i = 0; i < sizeof readers / sizeof readers[0]; ++i) {
    for (int end : {1, 2}) {
      PtyResult run = runReader(readers[i], "", end);
      EXPECT_EQ(run.exitCode, 1) << "reader " << i << (end == 2 ? " /dev/null" : " hang-up");
      EXPECT_LT(run.cpuSeconds, kMaxCpuSecondsAtEndOfInput) << "reader " << i;
    }
  }
}

}  // namespace
