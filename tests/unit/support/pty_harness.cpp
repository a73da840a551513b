// The pseudo-terminal harness: one forked child per run, an expect-style parent that types
// keys once the awaited text has shown up, and a bounded wait so a stuck child cannot hang the
// test program.
#include "support/pty_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kDrainAfterKillMs = 200;
constexpr int kTimeoutMs = 5000;

long long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Reads what the terminal has before `deadline`. Returns false once the terminal is closed
// (every slave descriptor gone: EIO) or the deadline has passed.
bool readSome(int master, std::string& output, long long deadline) {
  for (long long left; (left = deadline - nowMs()) > 0;) {
    pollfd p = {master, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    char buffer[kReadChunk];
    ssize_t count = ready > 0 ? read(master, buffer, sizeof buffer) : ready;
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    output.append(buffer, static_cast<size_t>(count));
    return true;
  }
  return false;
}

bool writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

[[noreturn]] void runChild(int slave, const std::function<int()>& body, const PtyOptions& options) {
  signal(SIGHUP, SIG_IGN);
  setsid();
  (void)ioctl(slave, TIOCSCTTY, 0);
  int input = options.stdinFromDevNull ? open("/dev/null", O_RDONLY) : slave;
  if (input < 0 || dup2(input, 0) < 0 || dup2(slave, 1) < 0) _exit(125);
  if (input != slave && input > 1) close(input);
  if (slave > 1) close(slave);
  int code = body();
  fflush(stdout);
  _exit(code & 0xff);
}

}  // namespace

PtyResult runOnPty(const std::function<int()>& body, const PtyOptions& options) {
  PtyResult result;
  int master = -1;
  int slave = -1;
  winsize size = {25, 80, 0, 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
  termios modes;
  if (tcgetattr(slave, &modes) == 0) {
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(slave, TCSANOW, &modes);
  }
  // The child inherits stdio buffers: anything pending would be written twice.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(master);
    runChild(slave, body, options);
  }
  close(slave);
  if (pid < 0) {
    close(master);
    return result;
  }

  size_t searchFrom = 0;
  for (const PtyStep& step : options.steps) {
    long long deadline = nowMs() + kTimeoutMs;
    size_t found = 0;
    while (!step.waitFor.empty() &&
           (found = result.output.find(step.waitFor, searchFrom)) == std::string::npos &&
           readSome(master, result.output, deadline)) {
    }
    if (found == std::string::npos || !writeAll(master, step.send)) break;
    if (!step.waitFor.empty()) searchFrom = found + step.waitFor.size();
  }
  if (options.hangUpAfterSteps) {
    close(master);
    master = -1;
  }

  long long deadline = nowMs() + kTimeoutMs;
  while (master >= 0 && readSome(master, result.output, deadline)) {
  }
  int status = 0;
  bool killed = false;
  rusage usage = {};
  for (pid_t done = 0; done != pid; usleep(1000)) {
    done = wait4(pid, &status, WNOHANG, &usage);
    if (done < 0 && errno != EINTR) break;
    if (done != pid && nowMs() >= deadline) {
      killed = true;
      kill(pid, SIGKILL);
      while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      break;
    }
  }
  if (master >= 0) {
    // What the child wrote before it was killed is still worth showing in a failure.
    long long drainDeadline = nowMs() + kDrainAfterKillMs;
    while (readSome(master, result.output, drainDeadline)) {
    }
    close(master);
  }
  if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return result;
}

PtyResult runAtEndOfInput(const std::function<int()>& body, const std::string& waitFor,
                          bool devNull) {
  PtyOptions options;
  options.steps = {{waitFor, ""}};
  options.hangUpAfterSteps = !devNull;
  options.stdinFromDevNull = devNull;
  return runOnPty(body, options);
}

std::string captureStdout(const std::function<void()>& body) {
  fflush(stdout);
  std::string output;
  FILE* sink = tmpfile();
  int saved = dup(1);
  if (sink && saved >= 0 && dup2(fileno(sink), 1) >= 0) {
    body();
    fflush(stdout);
    dup2(saved, 1);
    rewind(sink);
    char buffer[kReadChunk];
    for (size_t count; (count = fread(buffer, 1, sizeof buffer, sink)) > 0;) {
      output.append(buffer, count);
    }
  }
  if (sink) fclose(sink);
  if (saved >= 0) close(saved);
  return output;
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = needle.empty() ? std::string::npos : text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}
