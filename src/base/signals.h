// Process-wide signal plumbing and waiting. The handlers only record what happened (a child's
// status, an abort request) and wake the main loop through a pipe; every blocking wait of the
// installer goes through waitForInput/pollWithAbort/waitForChild, so an interrupt takes effect
// while it waits on a key, a child or the network, and no child's status is ever lost.
#pragma once

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

// While 0 the interrupt signal aborts the installation; once 1 it does nothing.
extern volatile sig_atomic_t abortDisabled;

// Installs the SIGINT, SIGPIPE and SIGCHLD dispositions and creates the wake pipe.
void installSignalHandlers();
// SIGINT: records an abort request (unless abortDisabled) and wakes the waiter.
void onAbortSignal(int signalNumber);
// SIGCHLD: reaps every ended child into the status table and wakes the waiter.
void onChildSignal(int signalNumber);

// The routine run, outside signal context, when an abort request is seen at a wait point.
void setAbortRoutine(void (*routine)());
// Runs the abort routine once if an abort request is pending. Called by every wait.
void runPendingAbort();

// Waits until `fd` is readable. timeoutMs < 0 waits without limit.
// Returns 1 when readable (or at end of input / hang-up), 0 on time-out, -1 on error.
int waitForInput(int fd, int timeoutMs);
// poll() that also wakes for signals and runs a pending abort; restarts after interruptions
// with the time that is left. Returns what poll returns for the caller's descriptors.
int pollWithAbort(struct pollfd* fds, nfds_t count, int timeoutMs);

// Writes all `size` bytes to `fd`, waiting while it is full. An interrupt that cuts the write
// short runs the abort path before the write goes on, so a flow never has to tell an
// interrupted write from a broken one. Returns true when everything was written, false when
// the far end is gone or the write failed.
bool writeAllWithAbort(int fd, const void* data, size_t size);

// Waits for the child `pid` to end and stores its raw wait status. Returns 0, or -1 when the
// child is unknown (never ours, or already waited for). Repeats on interruption.
int waitForChild(pid_t pid, int* status);

// In a freshly forked child: default dispositions for every signal we handle or ignore, an
// empty mask, and no shared wake pipe, so the child cannot steal the parent's wake-ups or
// child statuses.
void resetSignalsInChild();
