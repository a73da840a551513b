// The server's prompts typed at through a real pseudo-terminal: what the line shows after each
// key, what the caller gets back, the size limit, the address retries, and the no-answer
// results when the console goes away.
#include "tui/prompts.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <ostream>
#include <string>

#include "support/pty_harness.h"
#include "tui/terminal.h"

namespace {

const std::string kNetmaskLabel = "Enter routers netmask bit count";
const std::string kLineStart = "\033[2K\r";
const std::string kShowCursor = "\033[?25h";
const std::string kHideCursor = "\033[?25l";
const std::string kReverse = "\033[m\033[7m";
const std::string kPlain = "\033[m";
constexpr double kMaxCpuSecondsAtEndOfInput = 0.5;

// What the netmask prompt shows before the first key: the label and "24" in reverse video.
const std::string kNetmaskShown =
    kLineStart + kNetmaskLabel + ": " + kReverse + "24" + kPlain + kShowCursor;

// Runs the netmask prompt with `defaultText` (may be null) and `size`, typing `keys`; the child
// prints the answer as "<...>" and exits 1 when promptText returned true.
PtyResult typeIntoPrompt(const char* defaultText, int size, const std::string& keys) {
  return runOnPty(
      [=] {
        TerminalState state;
        enterRawMode(state);
        char out[64];
        memset(out, 'Z', sizeof out);
        bool ok = promptText(kNetmaskLabel.c_str(), defaultText, out, size);
        printf("<%s>", out);
        return ok ? 1 : 0;
      },
      {{{kShowCursor, keys}}});
}

TEST(PromptText, enterAcceptsTheDefaultAndRedrawsItPlain) {
  PtyResult run = typeIntoPrompt("24", 10, "\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kNetmaskShown + "\r" + kNetmaskLabel + ": 24" + kHideCursor + "<24>");
}

TEST(PromptText, firstKeyReplacesTheWholeDefault) {
  PtyResult run = typeIntoPrompt("24", 10, "16\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            kNetmaskShown + kLineStart + kNetmaskLabel + ": 1" + "6" + kHideCursor + "<16>");
}

TEST(PromptText, deleteDoesNothingWhileTheDefaultIsShown) {
  PtyResult run = typeIntoPrompt("24", 10, "\177\177\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kNetmaskShown + "\r" + kNetmaskLabel + ": 24" + kHideCursor + "<24>");
}

TEST(PromptText, typingThenDeletingLeavesAnEmptyValue) {
  PtyResult run = typeIntoPrompt("24", 10, "1\177\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kNetmaskShown + kLineStart + kNetmaskLabel + ": 1" + kLineStart +
                            kNetmaskLabel + ": " + kHideCursor + "<>");
}

TEST(PromptText, enterWithoutDefaultReturnsEmptyText) {
  PtyResult run = typeIntoPrompt(nullptr, 10, "\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + kNetmaskLabel + ": " + kShowCursor + kHideCursor + "<>");
}

TEST(PromptText, deleteAtTheStartIsIgnoredWithoutBell) {
  PtyResult run = typeIntoPrompt(nullptr, 10, "\177a\177\177b\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + kNetmaskLabel + ": " + kShowCursor + "a" + kLineStart +
                            kNetmaskLabel + ": " + "b" + kHideCursor + "<b>");
}

TEST(PromptText, keysBeyondTheSizeAreIgnored) {
  PtyResult run = typeIntoPrompt(nullptr, 10, "123456789abc\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + kNetmaskLabel + ": " + kShowCursor + "123456789" +
                            kHideCursor + "<123456789>");
}

TEST(PromptText, deleteAtTheLimitMakesRoomAgain) {
  PtyResult run = typeIntoPrompt(nullptr, 4, "abcd\177xy\n");
  EXPECT_EQ(run.output.substr(run.output.size() - 5), "<abx>");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(PromptText, escapeSequenceBytesAreTakenAsText) {
  PtyResult run = typeIntoPrompt(nullptr, 10, "\033[A\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("<\033[A>"), std::string::npos);
}

TEST(PromptText, nulByteIsIgnored) {
  PtyResult run = typeIntoPrompt(nullptr, 10, std::string("a\0b\n", 4));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            kLineStart + kNetmaskLabel + ": " + kShowCursor + "ab" + kHideCursor + "<ab>");
}

TEST(PromptText, defaultLongerThanTheBufferIsCutToFit) {
  PtyResult run = typeIntoPrompt("123456", 4, "\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + kNetmaskLabel + ": " + kReverse + "123" + kPlain +
                            kShowCursor + "\r" + kNetmaskLabel + ": 123" + kHideCursor + "<123>");
}

TEST(PromptText, callerMayPassItsAnswerAsTheDefault) {
  PtyResult run = runOnPty(
      [] {
        TerminalState state;
        enterRawMode(state);
        char value[10] = "9600";
        bool ok = promptText("Enter serial console baud rate", value, value, sizeof value);
        printf("<%s>", value);
        return ok ? 1 : 0;
      },
      {{{kShowCursor, "\n"}}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("<9600>"), std::string::npos);
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

// ---- Addresses --------------------------------------------------------------------------

// Asks for an address with `defaultAddress` (dotted, or null) and prints the result as
// "[a.b.c.d]"; exits 1 when an address other than 0 came back.
PtyResult typeAddress(const char* defaultAddress, const std::string& keys, bool hangUp = false) {
  PtyOptions options;
  options.steps = {{kShowCursor, keys}};
  options.hangUpAfterSteps = hangUp;
  return runOnPty(
      [=] {
        TerminalState state;
        enterRawMode(state);
        in_addr_t fallback = defaultAddress ? inet_addr(defaultAddress) : 0;
        in_addr result;
        result.s_addr = promptAddress("Enter routers IP address", fallback);
        printf("[%s]", inet_ntoa(result));
        return result.s_addr != 0 ? 1 : 0;
      },
      options);
}

TEST(PromptAddress, dottedAddressIsReturned) {
  PtyResult run = typeAddress(nullptr, "10.0.0.1\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + "Enter routers IP address: " + kShowCursor + "10.0.0.1" +
                            kHideCursor + "[10.0.0.1]");
}

TEST(PromptAddress, invalidAndEmptyAnswersAskAgainSilently) {
  PtyResult run = typeAddress(nullptr, "300.1.1.1\n\n10.1\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(countOf(run.output, kLineStart + "Enter routers IP address: "), 3u);
  EXPECT_EQ(countOf(run.output, "\a"), 0u);
  // inet_aton's short form: 10.1 is 10.0.0.1.
  EXPECT_EQ(run.output.substr(run.output.size() - 10), "[10.0.0.1]");
}

TEST(PromptAddress, enterAcceptsTheDefault) {
  PtyResult run = typeAddress("192.168.1.254", "\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output, kLineStart + "Enter routers IP address: " + kReverse + "192.168.1.254" +
                            kPlain + kShowCursor + "\rEnter routers IP address: 192.168.1.254" +
                            kHideCursor + "[192.168.1.254]");
}

TEST(PromptAddress, rejectedAnswerKeepsTheDefaultForTheNextAsk) {
  PtyResult run = typeAddress("192.168.1.254", "x\n\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(countOf(run.output, kReverse + "192.168.1.254" + kPlain), 2u);
  EXPECT_EQ(run.output.substr(run.output.size() - 15), "[192.168.1.254]");
}

TEST(PromptAddress, endOfInputReturnsNoAddress) {
  PtyResult run = typeAddress(nullptr, "10.0", true);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_LT(run.cpuSeconds, kMaxCpuSecondsAtEndOfInput);
}

// ---- Yes/no with the cursor -------------------------------------------------------------

int askKeepConfig() {
  return promptYesNo("Keep config?") ? 1 : 0;
}

TEST(PromptYesNo, showsTheCursorWhileWaitingAndHidesItAfter) {
  PtyResult run = runOnPty(
      [] {
        TerminalState state;
        enterRawMode(state);
        return askKeepConfig();
      },
      {{{kShowCursor, "\nN"}}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "Keep config? [y/n]:" + kShowCursor + "\a" + "n\n" + kHideCursor);
}

TEST(PromptYesNo, yesInEitherCase) {
  for (const char* key : {"y", "Y"}) {
    PtyResult run = runOnPty(
        [] {
          TerminalState state;
          enterRawMode(state);
          return askKeepConfig();
        },
        {{{kShowCursor, key}}});
    EXPECT_EQ(run.exitCode, 1) << key;
    EXPECT_EQ(run.output, "Keep config? [y/n]:" + kShowCursor + "y\n" + kHideCursor) << key;
  }
}

// ---- End of input -----------------------------------------------------------------------

struct EndOfInputCase {
  const char* name;
  int (*ask)();  // exits 1 when the prompt gave its no-answer result
  bool devNull;
};

void PrintTo(const EndOfInputCase& c, std::ostream* os) {
  *os << c.name;
}

int promptTextCancels() {
  TerminalState state;
  enterRawMode(state);
  char out[10];
  memset(out, 'Z', sizeof out);
  bool ok = promptText("label", "24", out, sizeof out);
  return !ok && out[0] == '\0' ? 1 : 0;
}

int promptYesNoRefuses() {
  return promptYesNo("Keep config?") ? 0 : 1;
}

int promptAddressGivesNone() {
  return promptAddress("Enter routers IP address", inet_addr("10.0.0.1")) == 0 ? 1 : 0;
}

const EndOfInputCase kEndOfInput[] = {
    {"promptTextHangUp", promptTextCancels, false},
    {"promptTextDevNull", promptTextCancels, true},
    {"promptYesNoHangUp", promptYesNoRefuses, false},
    {"promptYesNoDevNull", promptYesNoRefuses, true},
    {"promptAddressHangUp", promptAddressGivesNone, false},
    {"promptAddressDevNull", promptAddressGivesNone, true},
};

class PromptEndOfInput : public ::testing::TestWithParam<EndOfInputCase> {};

TEST_P(PromptEndOfInput, returnsTheNoAnswerWithoutSpinning) {
  PtyOptions options;
  options.steps = {{kShowCursor, ""}};
  options.hangUpAfterSteps = !GetParam().devNull;
  options.stdinFromDevNull = GetParam().devNull;
  PtyResult run = runOnPty(GetParam().ask, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_LT(run.cpuSeconds, kMaxCpuSecondsAtEndOfInput);
}

INSTANTIATE_TEST_SUITE_P(Prompts, PromptEndOfInput, ::testing::ValuesIn(kEndOfInput),
                         [](const ::testing::TestParamInfo<EndOfInputCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
