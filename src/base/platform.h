// The one seam for the system calls a test must never make for real: reboot, mount, umount,
// kernel module loading and sync, and the clock (now, sleep and the one-second alarm), so that
// waits, time-outs and the ticker run in virtual time under test. Everything else (files, pipes,
// processes, terminals) is used directly and tested for real. Tests install a fake with
// setPlatform().
#pragma once

#include <stddef.h>
#include <stdint.h>

class Platform {
 public:
  virtual ~Platform() = default;
  // Each returns what the system call returns: 0 on success, -1 with errno set on failure.
  virtual int mount(const char* source, const char* target, const char* type, unsigned long flags,
                    const void* data) = 0;
  virtual int umount(const char* target) = 0;
  // Returns only when the reboot failed (as when the caller lacks the privilege).
  virtual int reboot(int command) = 0;
  // Hands a module image to the kernel with the given parameter string.
  virtual int loadModule(const void* image, size_t size, const char* params) = 0;
  virtual void sync() = 0;

  // Milliseconds of a monotonic clock; only differences mean anything.
  virtual int64_t nowMs() = 0;
  // Sleeps the whole time, through interruptions.
  virtual void sleepMs(int ms) = 0;
  // Arms SIGALRM `seconds` from now (0 disarms); returns the seconds the previous alarm had left.
  virtual unsigned alarm(unsigned seconds) = 0;
};

// The process-wide platform: the real one unless a test installed another.
Platform& platform();
// Installs `fake` (not owned) as the platform; null restores the real one.
void setPlatform(Platform* fake);

// A point in time on the platform's clock, `ms` from now (ms < 0: never).
int64_t deadlineAfter(int ms);
// Milliseconds left until `deadline` (never negative, at most INT32_MAX); -1 for "never".
int msUntil(int64_t deadline);
