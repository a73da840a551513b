// Forks children in one way: the child drops our handlers and wake pipe, gets default
// dispositions and an empty signal mask, its standard descriptors from the setup (never free,
// so nothing it opens can land on them), nothing above them, and its confinement.
#include "base/child.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/signals.h"

char logTerminalPath[kLogTerminalPathSize] = "/dev/tty9";
pid_t pipedChild = -1;

namespace {

constexpr int kChildDescriptorLimit = 16;  // descriptors 0..15 are what a child tidies up

// The child that closeTool is waiting for, after it has left the slot; -1 otherwise.
pid_t closingChild = -1;

// Makes `fd` the descriptor `target`, open across exec. Our pipes are close-on-exec, and dup2
// onto itself would leave that flag standing.
bool moveDescriptor(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  if (dup2(fd, target) != target) return false;
  close(fd);
  return true;
}

bool openAs(const char* path, int flags, int target) {
  int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return false;
  return moveDescriptor(fd, target);
}

// Sets up descriptor `target` (0, 1 or 2) from `stream`. The pipe's end may sit on any
// descriptor, even one of 0-2, so it is moved before anything else is placed.
bool placeStream(ChildStream stream, int target, int pipeEnd) {
  int flags = target == 0 ? O_RDONLY : O_WRONLY;
  switch (stream) {
    case ChildStream::inherit:
      return fcntl(target, F_GETFD) >= 0 || openAs("/dev/null", flags, target);
    case ChildStream::null:
      return openAs("/dev/null", flags, target);
    case ChildStream::log:
      // A tool must never find its output descriptor free, or the next file it opens (a disk,
      // say) would receive its chatter: /dev/null stands in for a missing log terminal.
      return openAs(logTerminalPath, flags, target) || openAs("/dev/null", flags, target);
    case ChildStream::pipe:
      return dup2(pipeEnd, target) == target;
  }
  return false;
}

[[noreturn]] void runChild(const ChildSetup& setup, ChildMain main, void* argument, int childEnd) {
  resetSignalsInChild();
  // The pipe's end goes high first, out of the way of the descriptors about to be placed.
  if (childEnd >= 0 && childEnd < kChildDescriptorLimit) {
    int moved = fcntl(childEnd, F_DUPFD_CLOEXEC, kChildDescriptorLimit);
    if (moved < 0) _exit(kChildSetupFailed);
    childEnd = moved;
  }
  const ChildStream streams[3] = {setup.input, setup.output, setup.errors};
  for (int target = 0; target < 3; ++target) {
    // Output and errors on the log share one opening, or each would write from offset 0 of a
    // log file and overwrite the other.
    bool sharesLog =
        target == 2 && streams[1] == ChildStream::log && streams[2] == ChildStream::log;
    bool placed = sharesLog ? dup2(1, 2) == 2 : placeStream(streams[target], target, childEnd);
    if (!placed) _exit(kChildSetupFailed);
  }
  for (int fd = 3; fd < kChildDescriptorLimit; ++fd) (void)close(fd);
  if (childEnd >= 0) (void)close(childEnd);
  // Confined children see the target as "/", and their working directory is moved there too:
  // one left outside the new root would resolve relative paths on the installation medium.
  if (setup.root && (chroot(setup.root) != 0 || chdir("/") != 0)) _exit(kChildSetupFailed);
  int result = main(argument);
  fflush(stdout);
  fflush(stderr);
  // _exit: the parent's exit handlers and buffers are not the child's to run again.
  _exit(result);
}

bool usesPipe(const ChildSetup& setup) {
  return setup.input == ChildStream::pipe || setup.output == ChildStream::pipe ||
         setup.errors == ChildStream::pipe;
}

}  // namespace

pid_t startChild(const ChildSetup& setup, ChildMain main, void* argument, int* ourEnd) {
  int ends[2] = {-1, -1};
  bool piped = usesPipe(setup);
  if (piped && pipe2(ends, O_CLOEXEC) != 0) return -1;
  int childEnd = setup.input == ChildStream::pipe ? ends[0] : ends[1];
  int parentEnd = setup.input == ChildStream::pipe ? ends[1] : ends[0];
  // Whatever we buffered must reach the console before the child writes there, and must not
  // be written a second time by the child.
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    if (piped) {
      close(ends[0]);
      close(ends[1]);
    }
    return -1;
  }
  if (child == 0) {
    if (piped) close(parentEnd);
    runChild(setup, main, argument, piped ? childEnd : -1);
  }
  if (piped) {
    close(childEnd);
    if (ourEnd) {
      *ourEnd = parentEnd;
    } else {
      close(parentEnd);
    }
  }
  return child;
}

int execProgram(void* call) {
  const ProgramCall* program = static_cast<const ProgramCall*>(call);
  execv(program->path, program->argv);
  return kChildSetupFailed;
}

FILE* openPipedChild(const ChildSetup& setup, ChildMain main, void* argument) {
  if (pipedChild != -1 || !usesPipe(setup)) return nullptr;
  int ourEnd = -1;
  pid_t child = startChild(setup, main, argument, &ourEnd);
  if (child < 0) return nullptr;
  FILE* stream = fdopen(ourEnd, setup.input == ChildStream::pipe ? "w" : "r");
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

int closeTool(FILE* stream) {
  if (pipedChild == -1 || !stream) return -1;
  pid_t child = pipedChild;
  pipedChild = -1;
  closingChild = child;
  // A failed close (buffered bytes that a dead child no longer takes) still ends with the wait:
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
