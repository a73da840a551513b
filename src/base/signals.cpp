// Signal handlers that only record, and the waits that act on what they recorded.
#include "base/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/platform.h"

volatile sig_atomic_t abortDisabled = 0;

namespace {

// Statuses of children that the SIGCHLD handler reaped before their waiter asked for them.
constexpr int kChildTableSize = 64;
struct ReapedChild {
  volatile pid_t pid;  // 0 when the slot is free
  volatile int status;
  volatile unsigned age;  // reapCount when recorded: the oldest entry is given up first
};
ReapedChild reapedChildren[kChildTableSize];
// Only the SIGCHLD handler counts, and it does not nest with itself.
unsigned reapCount = 0;

volatile sig_atomic_t abortRequested = 0;
bool abortRunning = false;
void (*abortRoutine)() = nullptr;

int wakePipe[2] = {-1, -1};

void wake() {
  if (wakePipe[1] >= 0) {
    char byte = 0;
    ssize_t ignored = write(wakePipe[1], &byte, 1);
    (void)ignored;  // a full pipe already wakes the waiter
  }
}

void drainWakePipe() {
  if (wakePipe[0] < 0) return;
  char buffer[64];
  while (read(wakePipe[0], buffer, sizeof buffer) > 0) {
  }
}

void blockChildSignal(sigset_t* previous) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigprocmask(SIG_BLOCK, &set, previous);
}

// Takes the recorded status of `pid` out of the table. SIGCHLD must be blocked.
bool takeReaped(pid_t pid, int* status) {
  for (ReapedChild& slot : reapedChildren) {
    if (slot.pid == pid) {
      *status = slot.status;
      slot.pid = 0;
      return true;
    }
  }
  return false;
}

// The slot for a newly reaped child: an older entry of the same (reused) pid, else a free slot,
// else the oldest entry. Orphans that nobody waits for (as PID 1) would otherwise fill the table
// for good and push out the statuses that a waiter needs.
ReapedChild& slotForReaped(pid_t pid) {
  ReapedChild* oldest = &reapedChildren[0];
  ReapedChild* freeSlot = nullptr;
  for (ReapedChild& slot : reapedChildren) {
    if (slot.pid == pid) return slot;
    if (slot.pid == 0) {
      if (!freeSlot) freeSlot = &slot;
    } else if (reapCount - slot.age > reapCount - oldest->age) {
      oldest = &slot;
    }
  }
  return freeSlot ? *freeSlot : *oldest;
}

}  // namespace

void onAbortSignal(int) {
  if (abortDisabled) return;
  int savedErrno = errno;
  abortRequested = 1;
  wake();
  errno = savedErrno;
}

void onChildSignal(int) {
  int savedErrno = errno;
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    ReapedChild& slot = slotForReaped(pid);
    slot.pid = 0;
    slot.status = status;
    slot.age = ++reapCount;
    slot.pid = pid;
  }
  wake();
  errno = savedErrno;
}

void installSignalHandlers() {
  if (wakePipe[0] < 0) {
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = onAbortSignal;
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
  action.sa_handler = onChildSignal;
  action.sa_flags = SA_RESTART;
  sigaction(SIGCHLD, &action, nullptr);
}

void resetSignalsInChild() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  // An ignored SIGPIPE or SIGALRM would survive exec: a tool writing into a pipe we closed
  // should end as usual, not spin on EPIPE.
  const int handled[] = {SIGCHLD, SIGINT, SIGPIPE, SIGALRM};
  for (int signalNumber : handled) sigaction(signalNumber, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (wakePipe[0] >= 0) {
    close(wakePipe[0]);
    close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
  }
  for (ReapedChild& slot : reapedChildren) slot.pid = 0;
}

void setAbortRoutine(void (*routine)()) {
  abortRoutine = routine;
}

void runPendingAbort() {
  if (!abortRequested) return;
  abortRequested = 0;
  // The abort path waits for Enter itself; an interrupt during it must not start it again.
  if (abortDisabled || abortRunning || !abortRoutine) return;
  abortRunning = true;
  abortRoutine();
  abortRunning = false;
}

int pollWithAbort(struct pollfd* fds, nfds_t count, int timeoutMs) {
  constexpr nfds_t kMaxFds = 16;
  if (count >= kMaxFds) {
    errno = EINVAL;
    return -1;
  }
  int64_t deadline = deadlineAfter(timeoutMs);
  for (;;) {
    runPendingAbort();
    struct pollfd all[kMaxFds];
    for (nfds_t i = 0; i < count; ++i) all[i] = fds[i];
    nfds_t total = count;
    if (wakePipe[0] >= 0) {
      all[total].fd = wakePipe[0];
      all[total].events = POLLIN;
      all[total].revents = 0;
      ++total;
    }
    int ready = poll(all, total, msUntil(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // Emptied only when a signal wrote to it: the wait costs no extra read, message after message.
    if (total > count && all[count].revents) drainWakePipe();
    int callerReady = 0;
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = all[i].revents;
      if (all[i].revents) ++callerReady;
    }
    if (callerReady > 0) return callerReady;
    if (ready == 0 || msUntil(deadline) == 0) {
      runPendingAbort();
      return 0;
    }
    // Only the wake pipe: a signal arrived; look at it and wait on.
  }
}

int waitForInput(int fd, int timeoutMs) {
  struct pollfd p;
  p.fd = fd;
  p.events = POLLIN;
  p.revents = 0;
  int ready = pollWithAbort(&p, 1, timeoutMs);
  if (ready < 0) return -1;
  return ready > 0 ? 1 : 0;
}

bool writeAllWithAbort(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = write(fd, next, size);
    if (written > 0) {
      next += written;
      size -= static_cast<size_t>(written);
      continue;
    }
    // The interrupt key breaks a blocked write off (its handler does not restart calls): the
    // abort path runs now, and should its reboot fail the write simply goes on.
    if (written < 0 && errno == EINTR) {
      runPendingAbort();
      continue;
    }
    return false;
  }
  return true;
}

int waitForChild(pid_t pid, int* status) {
  if (pid <= 0) {
    errno = ECHILD;  // 0 would match the table's free slots, negatives mean process groups
    return -1;
  }
  for (;;) {
    drainWakePipe();
    // An interrupt is handled before a child's end is reported, so an abort is not lost
    // behind a child that ended of the same Ctrl-C.
    runPendingAbort();
    sigset_t previous;
    blockChildSignal(&previous);
    // Ask the kernel first: while `pid` is a live or unreaped child of ours, a table entry for
    // the same number belongs to an earlier process that was reaped and whose pid came round
    // again. Only when the kernel no longer knows the child is the table's entry its status.
    int childStatus = 0;
    pid_t result = waitpid(pid, &childStatus, WNOHANG);
    int waitErrno = errno;
    int staleStatus = 0;
    bool found = false;
    if (result == pid || result == 0) {
      (void)takeReaped(pid, &staleStatus);
    } else if (result < 0 && waitErrno == ECHILD) {
      found = takeReaped(pid, &childStatus);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (result == pid || found) {
      *status = childStatus;
      return 0;
    }
    if (result < 0 && waitErrno != EINTR) {
      errno = waitErrno;
      return -1;
    }
    if (wakePipe[0] < 0) {
      // No wake pipe (a tool or test using the runner alone): a plain blocking wait. Should a
      // handler reap the child meanwhile, ECHILD sends us round to look in the table.
      result = waitpid(pid, &childStatus, 0);
      if (result == pid) {
        *status = childStatus;
        return 0;
      }
      if (result < 0 && errno != EINTR && errno != ECHILD) return -1;
      continue;
    }
    struct pollfd p;
    p.fd = wakePipe[0];
    p.events = POLLIN;
    p.revents = 0;
    (void)poll(&p, 1, -1);
  }
}
