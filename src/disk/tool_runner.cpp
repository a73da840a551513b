// Starts external tools through the child recipe: awaited (runProgram, runCommand) or joined to
// the installer by one pipe (openToolOutput, openToolInput). Every status is collected through
// waitForChild, so the SIGCHLD handler never eats it.
#include "disk/tool_runner.h"

#include <stdarg.h>
#include <string.h>

#include "base/signals.h"

namespace {

const char kNullMarker[] = ">null";

// Builds the vector: path, the words up to the terminating null, null. Words equal to ">null"
// are left out when `marker` is given and set it instead. False when the words do not fit.
bool buildArguments(char* argv[kToolArgumentSlots], const char* path, va_list words, bool* marker) {
  int count = 0;
  argv[count++] = const_cast<char*>(path);
  for (;;) {
    const char* word = va_arg(words, const char*);
    if (!word) break;
    if (marker && strcmp(word, kNullMarker) == 0) {
      *marker = true;
      continue;
    }
    if (count >= kToolArgumentSlots - 1) return false;
    argv[count++] = const_cast<char*>(word);
  }
  argv[count] = nullptr;
  return true;
}

}  // namespace

int runProgram(const char* root, const char* path, char* const argv[]) {
  char* const fallback[] = {const_cast<char*>(path), nullptr};
  ProgramCall call = {path, argv ? argv : fallback};
  ChildSetup setup;
  setup.root = root;
  pid_t child = startChild(setup, execProgram, &call, nullptr);
  if (child < 0) return -1;
  int status = 0;
  if (waitForChild(child, &status) != 0) return -1;
  return status;
}

int runCommand(const char* root, const char* path, ...) {
  char* argv[kToolArgumentSlots];
  va_list words;
  va_start(words, path);
  bool fits = buildArguments(argv, path, words, nullptr);
  va_end(words);
  if (!fits) return -1;
  return runProgram(root, path, argv);
}

FILE* openToolOutput(const char* path, ...) {
  char* argv[kToolArgumentSlots];
  va_list words;
  va_start(words, path);
  bool fits = buildArguments(argv, path, words, nullptr);
  va_end(words);
  if (!fits) return nullptr;
  ChildSetup setup;
  setup.output = ChildStream::pipe;
  ProgramCall call = {path, argv};
  return openPipedChild(setup, execProgram, &call);
}

FILE* openToolInput(const char* path, ...) {
  char* argv[kToolArgumentSlots];
  bool logOutput = false;
  va_list words;
  va_start(words, path);
  bool fits = buildArguments(argv, path, words, &logOutput);
  va_end(words);
  if (!fits) return nullptr;
  ChildSetup setup;
  setup.input = ChildStream::pipe;
  setup.output = logOutput ? ChildStream::log : ChildStream::inherit;
  setup.errors = logOutput ? ChildStream::log : ChildStream::inherit;
  ProgramCall call = {path, argv};
  return openPipedChild(setup, execProgram, &call);
}
