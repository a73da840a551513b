// Starts external tools as children: awaited (runProgram, runCommand) or joined to the installer
// by one pipe (openToolOutput, openToolInput, closed by closeTool). Output goes to the log
// terminal; every status is collected through waitForChild, so the SIGCHLD handler never eats it.
#include "disk/tool_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/signals.h"

pid_t pipedChild = -1;
// The child that closeTool is waiting for, after it has left the slot; -1 otherwise.
static pid_t closingChild = -1;

namespace {

constexpr int kChildDescriptorLimit = 16;  // descriptors 0..15 are what a child tidies up
constexpr int kExecFailed = 127;           // exit code of a child that could not start its tool
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

// Makes `fd` the descriptor `target`, open across exec. Our pipes are close-on-exec, and dup2
// onto itself would leave that flag standing.
bool moveDescriptor(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  if (dup2(fd, target) != target) return false;
  close(fd);
  return true;
}

// Opens `path` as exactly descriptor `target`.
bool openAs(const char* path, int flags, int target) {
  int fd = open(path, flags);
  if (fd < 0) return false;
  return moveDescriptor(fd, target);
}

// The log terminal as `target`. Should it not open, /dev/null stands in: a tool must never find
// its output descriptor free, or the next file it opens (a disk, say) would receive its chatter.
void openLogAs(int target) {
  if (!openAs(logTerminalPath, O_WRONLY, target)) (void)openAs("/dev/null", O_WRONLY, target);
}

void closeRange(int from, int to) {
  for (int fd = from; fd <= to; ++fd) (void)close(fd);
}

// First steps of every child: our handlers and wake pipe go, and the dispositions we changed
// for ourselves are not passed to the tool (an ignored SIGPIPE or SIGALRM survives exec; a tool
// writing into a pipe we closed should end as usual, not spin on EPIPE).
void prepareChild() {
  resetSignalsInChild();
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void execTool(const char* path, char* const argv[]) {
  execv(path, argv);
  _exit(kExecFailed);
}

// Shared by both open operations once the vector is built. The pipe's far end becomes the
// tool's standard input (`toolReads`) or output; ours is wrapped in a stream for the installer.
// Both ends are close-on-exec, so no later child keeps a copy that would hold off end-of-file.
FILE* openPiped(const char* path, char* const argv[], bool toolReads, bool logOutput) {
  if (pipedChild != -1) return nullptr;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  int childEnd = toolReads ? ends[0] : ends[1];
  int ourEnd = toolReads ? ends[1] : ends[0];
  // The tool may write to the console itself; what we buffered must come first.
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  if (child == 0) {
    prepareChild();
    close(ourEnd);
    if (toolReads) {
      if (!moveDescriptor(childEnd, 0)) _exit(kExecFailed);
      if (logOutput) {
        openLogAs(1);
        if (dup2(1, 2) != 2) _exit(kExecFailed);
      }
    } else {
      if (!moveDescriptor(childEnd, 1)) _exit(kExecFailed);
      if (!openAs("/dev/null", O_RDONLY, 0)) _exit(kExecFailed);
      openLogAs(2);
    }
    closeRange(3, kChildDescriptorLimit - 1);
    execTool(path, argv);
  }
  close(childEnd);
  FILE* stream = fdopen(ourEnd, toolReads ? "w" : "r");
  if (!stream) {
    // Nobody could ever close this child: end it here rather than leave it to linger.
    close(ourEnd);
    (void)kill(child, SIGKILL);
    int ignored = 0;
    (void)waitForChild(child, &ignored);
    return nullptr;
  }
  pipedChild = child;
  return stream;
}

}  // namespace

int runProgram(const char* root, const char* path, char* const argv[]) {
  char* const fallback[] = {const_cast<char*>(path), nullptr};
  if (!argv) argv = fallback;
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    prepareChild();
    closeRange(0, kChildDescriptorLimit - 1);
    if (open("/dev/null", O_RDONLY) != 0) _exit(kExecFailed);
    openLogAs(1);
    if (dup(1) != 2) _exit(kExecFailed);
    // Confined tools see the target as "/", and their working directory is moved there too: a
    // working directory left outside the new root would resolve the tool's relative paths on
    // the installation medium, and lets it reach outside the confinement.
    if (root && (chroot(root) != 0 || chdir("/") != 0)) _exit(kExecFailed);
    execTool(path, argv);
  }
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
  if (pipedChild != -1) return nullptr;
  char* argv[kToolArgumentSlots];
  va_list words;
  va_start(words, path);
  bool fits = buildArguments(argv, path, words, nullptr);
  va_end(words);
  if (!fits) return nullptr;
  return openPiped(path, argv, false, false);
}

FILE* openToolInput(const char* path, ...) {
  char* argv[kToolArgumentSlots];
  bool logOutput = false;
  va_list words;
  va_start(words, path);
  bool fits = buildArguments(argv, path, words, &logOutput);
  va_end(words);
  if (!fits) return nullptr;
  return openPiped(path, argv, true, logOutput);
}

int closeTool(FILE* stream) {
  if (pipedChild == -1 || !stream) return -1;
  pid_t child = pipedChild;
  pipedChild = -1;
  closingChild = child;
  // A failed close (buffered bytes that a dead tool no longer takes) still ends with the wait:
  // the descriptor is gone either way, and the child must not be left unreaped.
  bool closed = fclose(stream) == 0;
  int status = 0;
  int waited = waitForChild(child, &status);
  closingChild = -1;
  if (waited != 0) return -1;
  return closed ? status : -1;
}

void endPipedChild() {
  pid_t child = pipedChild != -1 ? pipedChild : closingChild;
  if (child <= 0) return;
  pipedChild = -1;
  closingChild = -1;
  int status = 0;
  (void)kill(child, SIGKILL);
  (void)waitForChild(child, &status);
}
