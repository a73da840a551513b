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
#include <unistd.h>

#include <random>

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

// Holding the frame in the loop delays the other direction too; a stop-and-wait protocol has
// one frame in flight, so for it this is the same as a line of that latency.
[[noreturn]] void forward(const int taps[2], unsigned lossPercent, unsigned seed,
                          unsigned delayUs) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::minstd_rand random(seed);
  pollfd waiting[2] = {{taps[0], POLLIN, 0}, {taps[1], POLLIN, 0}};
  static unsigned char frame[65536];
  for (;;) {
    if (poll(waiting, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (waiting[i].revents & (POLLERR | POLLHUP | POLLNVAL)) _exit(0);  // namespace gone
      if (!(waiting[i].revents & POLLIN)) continue;
      ssize_t length = read(taps[i], frame, sizeof frame);
      if (length <= 0 || random() % 100 < lossPercent) continue;
      if (delayUs) usleep(delayUs);
      // A device that is still down refuses the frame, as a cable to a switched-off port would.
      (void)!write(taps[1 - i], frame, static_cast<size_t>(length));
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
