// The forwarding process behind LossySwitch: one poll() loop over both TAP devices.
#include "support/lossy_switch.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <vector>

namespace {

// The device lives as long as this descriptor, so nothing is left behind by a crashed test.
int openTap(const SwitchPort& port) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request{};
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  snprintf(request.ifr_name, sizeof request.ifr_name, "%s", port.device.c_str());
  std::string move = "ip link set " + port.device + " address " + port.mac + " netns " + port.netns;
  if (ioctl(fd, TUNSETIFF, &request) != 0 || system(move.c_str()) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A frame waiting out the line's latency.
struct HeldFrame {
  int64_t dueUs;
  int to;  // index of the device it goes out of
  std::vector<unsigned char> bytes;
};

int64_t nowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000ll + now.tv_nsec / 1000;
}

// Each frame is held `delayUs` from its arrival while others keep flowing, as on a long line:
// several sessions through one switch each see the latency once, not the sum of everyone's.
[[noreturn]] void forward(const int taps[2], unsigned lossPercent, unsigned seed,
                          unsigned delayUs) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::minstd_rand random(seed);
  pollfd waiting[2] = {{taps[0], POLLIN, 0}, {taps[1], POLLIN, 0}};
  std::deque<HeldFrame> held;  // in order of arrival, so in order of due time
  static unsigned char frame[65536];
  for (;;) {
    // ppoll waits to the microsecond: a frame that arrives meanwhile is stamped when it came.
    timespec wait = {0, 0};
    if (!held.empty()) {
      int64_t left = held.front().dueUs - nowUs();
      if (left > 0)
        wait = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    }
    if (ppoll(waiting, 2, held.empty() ? nullptr : &wait, nullptr) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (waiting[i].revents & (POLLERR | POLLHUP | POLLNVAL)) _exit(0);  // namespace gone
      if (!(waiting[i].revents & POLLIN)) continue;
      ssize_t length = read(taps[i], frame, sizeof frame);
      if (length <= 0 || random() % 100 < lossPercent) continue;
      held.push_back({nowUs() + delayUs, 1 - i, {frame, frame + length}});
    }
    int64_t now = nowUs();
    while (!held.empty() && held.front().dueUs <= now) {
      // A device that is still down refuses the frame, as a cable to a switched-off port would.
      const HeldFrame& out = held.front();
      (void)!write(taps[out.to], out.bytes.data(), out.bytes.size());
      held.pop_front();
    }
  }
}

}  // namespace

LossySwitch::LossySwitch(const SwitchPort& a, const SwitchPort& b, unsigned lossPercent,
                         unsigned seed, unsigned delayUs) {
  int taps[2] = {openTap(a), openTap(b)};
  if (taps[0] >= 0 && taps[1] >= 0) pid_ = fork();
  if (pid_ == 0) forward(taps, lossPercent, seed, delayUs);
  for (int fd : taps) {
    if (fd >= 0) close(fd);
  }
}

LossySwitch::~LossySwitch() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}
