// The prompts typed at through a real pseudo-terminal: what the line shows after each key, what
// the caller gets back, the size limit, the address retries, both yes/no questions, and the
// no-answer result of every key reader, prompt and the menu when the console goes away.
#include "tui/prompts.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "packages/menu.h"
#include "support/pty_harness.h"
#include "tui/terminal.h"

namespace {

const std::string kShowCursor = "\033[?25h";
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

TEST(PromptText, sizeBelowOneReturnsAtOnce) {
  PtyResult run = runOnPty([] {
    char out[1] = {'Z'};
    bool ok = promptText("label", nullptr, out, 0);
    return (ok ? 1 : 0) | (out[0] == 'Z' ? 2 : 0);
  });
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.output, "");
}

TEST(PromptAddress, asksAgainSilentlyUntilAnAddressComes) {
  const std::string shownDefault = kAddressLine + kReverse + "192.168.1.254" + kPlain;
  const struct {
    const char* defaultAddress;
    const char* keys;
    size_t asks;
    std::string answer;
    std::string screen;  // empty: not compared
  } cases[] = {
      {nullptr, "10.0.0.1\n", 1, "10.0.0.1", kAddressLine + kShowCursor + "10.0.0.1" + kHideCursor},
      {nullptr, "300.1.1.1\n\n10.1\n", 3, "10.0.0.1", ""},  // inet_aton's short form
      {"192.168.1.254", "\n", 1, "192.168.1.254",
       shownDefault + kShowCursor + "\rEnter routers IP address: 192.168.1.254" + kHideCursor},
      {"192.168.1.254", "x\n\n", 2, "192.168.1.254", ""},  // the default shown again
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
    expectShown(run, c.screen, "[" + c.answer + "]", c.keys);
  }
}

TEST(YesNo, echoesTheAnswerInLowerCaseAndRingsOncePerRefusedKey) {
  const struct {
    bool prompt;  // promptYesNo: the cursor is shown while it waits; else askYesNo
    const char* keys;
    int result;
    std::string shown;
  } cases[] = {
      {false, "\nx1Y", 1, "\a\a\ay\n"},
      {false, "n", 0, "n\n"},
      {false, " \033[Bn", 0, "\a\a\a\an\n"},
      {false, "\177ny", 0, "\an\n"},
      {true, "\nN", 0, kShowCursor + "\an\n" + kHideCursor},
      {true, "y", 1, kShowCursor + "y\n" + kHideCursor},
  };
  for (const auto& c : cases) {
    PtyResult run = runOnPty(
        [&c] {
          TerminalState state;
          enterRawMode(state);
          return (c.prompt ? promptYesNo("Keep config?") : askYesNo(state, "Keep config?")) ? 1 : 0;
        },
        {{{"Keep config? [y/n]:", c.keys}}});
    EXPECT_EQ(run.exitCode, c.result) << c.keys;
    EXPECT_EQ(run.output, "Keep config? [y/n]:" + c.shown) << c.keys;
  }
}

// Each reader returns 1 when it gave its no-answer result, with the console hung up or with
// standard input on /dev/null, at once rather than spinning on the dead console.
TEST(EndOfInput, everyReaderReturnsTheNoAnswerWithoutSpinning) {
  int (*const readers[])(TerminalState&) = {
      [](TerminalState&) -> int { return readKeyByte() == EOF; },
      [](TerminalState& state) -> int { return waitForKey(state, 'q') == EOF; },
      [](TerminalState& state) -> int { return !askYesNo(state, "Continue?"); },
      [](TerminalState&) -> int { return !promptYesNo("Keep config?"); },
      [](TerminalState&) -> int {
        char out[10];
        memset(out, 'Z', sizeof out);
        return !promptText("label", "24", out, sizeof out) && out[0] == '\0';
      },
      [](TerminalState&) -> int { return promptAddress("IP", inet_addr("10.0.0.1")) == 0; },
      [](TerminalState&) -> int {
        PackageMenu menu;
        menu.entries.push_back(new SelectablePackage);
        return !runPackageMenu(menu);
      },
  };
  for (size_t i = 0; i < sizeof readers / sizeof readers[0]; ++i) {
    for (bool devNull : {false, true}) {
      auto body = [&] {
        TerminalState state;
        enterRawMode(state);
        printf("ready");
        return readers[i](state);
      };
      PtyResult run = runAtEndOfInput(body, "ready", devNull);
      EXPECT_EQ(run.exitCode, 1) << "reader " << i << (devNull ? " /dev/null" : " hang-up");
      EXPECT_LT(run.cpuSeconds, kMaxCpuSecondsAtEndOfInput) << "reader " << i;
    }
  }
}

}  // namespace
