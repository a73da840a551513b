// The recording platform of the tests.
#include "support/fake_platform.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

int FakePlatform::mount(const char* source, const char* target, const char* type,
                        unsigned long flags, const void*) {
  char line[512];
  snprintf(line, sizeof line, "mount %s %s %s %lx", source ? source : "-", target,
           type ? type : "-", flags);
  calls.push_back(line);
  if (mountResult != 0) errno = ENODEV;
  return mountResult;
}

int FakePlatform::umount(const char* target) {
  calls.push_back(std::string("umount ") + target);
  if (umountResult != 0) errno = EINVAL;
  return umountResult;
}

int FakePlatform::reboot(int command) {
  char line[64];
  snprintf(line, sizeof line, "reboot %x", command);
  calls.push_back(line);
  if (rebootExits) {
    printf("REBOOT %x\n", command);
    fflush(stdout);
    _exit(0);
  }
  errno = EPERM;
  return -1;
}

int FakePlatform::loadModule(const void*, size_t size, const char* params) {
  char line[128];
  snprintf(line, sizeof line, "loadModule %zu '%s'", size, params);
  calls.push_back(line);
  errno = ENOSYS;
  return -1;
}

void FakePlatform::sync() {
  calls.push_back("sync");
}

unsigned FakePlatform::alarm(unsigned seconds) {
  unsigned previous = alarmArmed;
  alarmArmed = seconds;
  return previous;
}
