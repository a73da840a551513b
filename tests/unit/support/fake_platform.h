// A recording platform for tests: mount, umount, reboot, module loading and sync are written
// down instead of done; each call appends one line to `calls`, e.g. "umount /mnt". Its clock is
// virtual: time moves only when the code under test sleeps or the test advances it.
#pragma once

#include <string>
#include <vector>

#include "base/platform.h"

class FakePlatform : public Platform {
 public:
  FakePlatform() { setPlatform(this); }
  ~FakePlatform() override { setPlatform(nullptr); }

  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override;
  int umount(const char* target) override;
  int reboot(int command) override;
  int loadModule(const void* image, size_t size, const char* params) override;
  void sync() override;
  int64_t nowMs() override { return now; }
  void sleepMs(int ms) override { now += ms; }
  unsigned alarm(unsigned seconds) override;

  std::vector<std::string> calls;
  int mountResult = -1;   // what mount() returns (with errno ENODEV on failure)
  int umountResult = -1;  // what umount() returns (with errno EINVAL on failure)
  // When set, reboot() prints "REBOOT <command>" on stdout, flushes and ends the process with
  // status 0, as the real reboot would end the run. Otherwise it fails like an unprivileged one.
  bool rebootExits = false;
  int64_t now = 1000000;    // the virtual clock, in milliseconds
  unsigned alarmArmed = 0;  // seconds of the alarm as last armed, 0 when disarmed
};
