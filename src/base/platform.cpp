// The real platform: thin wrappers over the Linux system calls and the monotonic clock.
#include "base/platform.h"

#include <errno.h>
#include <stdint.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int64_t kNever = -1;

class RealPlatform : public Platform {
 public:
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override {
    return ::mount(source, target, type, flags, data);
  }
  int umount(const char* target) override { return ::umount(target); }
  int reboot(int command) override { return ::reboot(command); }
  int loadModule(const void* image, size_t size, const char* params) override {
    return static_cast<int>(syscall(SYS_init_module, image, size, params));
  }
  void sync() override { ::sync(); }

  int64_t nowMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  void sleepMs(int ms) override {
    timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  unsigned alarm(unsigned seconds) override { return ::alarm(seconds); }
};

RealPlatform realPlatform;
Platform* current = &realPlatform;

}  // namespace

Platform& platform() {
  return *current;
}

void setPlatform(Platform* fake) {
  current = fake ? fake : &realPlatform;
}

int64_t deadlineAfter(int ms) {
  return ms < 0 ? kNever : platform().nowMs() + ms;
}

int msUntil(int64_t deadline) {
  if (deadline == kNever) return -1;
  int64_t left = deadline - platform().nowMs();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}
