// The real platform: thin wrappers over the Linux system calls.
#include "platform/platform.h"

#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

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
