// Runs a piece of console code in a forked child whose standard input and output are the slave
// side of a fresh 80x25 pseudo-terminal, types keys into it like an operator, and returns every
// byte the child wrote. Raw mode, echo and line discipline are therefore real.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Wait until `waitFor` has appeared in the output after the previous step's text (empty: do
// not wait), then type `send`.
struct PtyStep {
  std::string waitFor;
  std::string send;
};

struct PtyOptions {
  std::vector<PtyStep> steps;
  // After the last step, close the terminal: the child (ignoring SIGHUP) reads end of input.
  bool hangUpAfterSteps = false;
  bool stdinFromDevNull = false;  // output still goes to the terminal
};

struct PtyResult {
  std::string output;       // every byte read from the terminal, in order
  int exitCode = -1;        // what `body` returned (0-255), or -1 if it was killed
  double cpuSeconds = 0.0;  // user and system CPU time the child used
};

// Forks, runs `body` in the child on the terminal and _exits with its result; standard error
// stays the test's own. Never use gtest assertions inside `body`: report through the result.
// The terminal's output processing is off, so the output holds exactly the bytes written. An
// awaited text that does not show up, or a child that does not end, within five seconds gets
// the child killed.
PtyResult runOnPty(const std::function<int()>& body, const PtyOptions& options = PtyOptions());

// A reader at end of input must give up at once rather than spin on the dead console.
constexpr double kMaxCpuSecondsAtEndOfInput = 0.5;

// Runs `body` until `waitFor` has shown up, then ends its input: the terminal hangs up, or with
// `devNull` standard input is /dev/null from the start.
PtyResult runAtEndOfInput(const std::function<int()>& body, const std::string& waitFor,
                          bool devNull);

// Runs `body` in this process and returns what it wrote on standard output: enough for code
// that only writes, and much cheaper than a terminal.
std::string captureStdout(const std::function<void()>& body);

// Counts the occurrences of `needle` in `text` (e.g. bell bytes).
size_t countOf(const std::string& text, const std::string& needle);
