// A lossy link between two network namespaces for root tests: the host kernel has no netem, so
// frames cross a process of ours that forwards them between two TAP devices, one in each
// namespace, and loses or holds back what it is told to.
#pragma once

#include <sys/types.h>

#include <string>

struct SwitchPort {
  std::string netns;   // where the TAP device is moved
  std::string device;  // its name there
  std::string mac;     // its hardware address, "02:00:..."
};

class LossySwitch {
 public:
  // Drops `lossPercent` of the frames in either direction, chosen by a generator seeded with
  // `seed` so that a failing run can be repeated, and holds each forwarded frame `delayUs`.
  LossySwitch(const SwitchPort& a, const SwitchPort& b, unsigned lossPercent, unsigned seed,
              unsigned delayUs = 0);
  ~LossySwitch();
  LossySwitch(const LossySwitch&) = delete;
  LossySwitch& operator=(const LossySwitch&) = delete;

  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};
