// A simulated Ethernet segment in virtual time, so both ends of the install protocol run in one
// test: every end is a blocking loop on its own thread, but only one runs at a time. When every
// end waits, the clock jumps to the next delivery or deadline and the end that is due runs.
// Loss, duplication and delay (hence reordering) are drawn from a seeded generator, so a run is
// the same every time. The link is also the platform: its clock is the one the code reads.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "base/datagram.h"
#include "base/platform.h"

class SimLink : public Platform {
 public:
  struct Faults {
    double loss = 0;       // chance that one copy of a datagram is lost
    double duplicate = 0;  // chance that a datagram arrives twice
    int jitterMs = 0;      // extra delay 0..jitterMs on top of 1 ms
  };
  struct Sent {
    int64_t at;
    int end;
    std::vector<uint8_t> bytes;
  };
  // Drops a datagram sent by `end` before the faults are drawn, when it returns true.
  using DropRule = std::function<bool(int end, const std::vector<uint8_t>& bytes)>;

  SimLink(uint32_t seed, Faults faults);
  ~SimLink() override;
  // Adds an end whose body runs on its own thread with its own port; returns its index.
  int addEnd(std::function<void(DatagramPort&)> body);
  // Runs every end to its end. An end waiting only for a key (when all others wait too) gets
  // one: the operator presses it.
  void run();
  // Makes a key waiting for `end` from now on.
  void pressKey(int end);

  int64_t nowMs() override { return now; }
  void sleepMs(int ms) override;
  int mount(const char*, const char*, const char*, unsigned long, const void*) override {
    return -1;
  }
  int umount(const char*) override { return -1; }
  int reboot(int) override { return -1; }
  int loadModule(const void*, size_t, const char*) override { return -1; }
  void sync() override {}
  unsigned alarm(unsigned) override { return 0; }

  int64_t now = 0;
  std::vector<Sent> sent;  // every datagram, in the order sent
  DropRule drop;

 private:
  struct End;
  class Port;
  int send(int from, const uint8_t* bytes, int length);
  int receive(int me, uint8_t* buffer, int capacity, int timeoutMs, bool orKey);
  void block(std::unique_lock<std::mutex>& lock, int me, int64_t wakeAt);
  void schedule();

  std::mt19937 random;
  Faults faults;
  std::mutex mutex;
  std::condition_variable finished;  // signalled when every end is done
  int running = -2;                  // the end that may run; -1 when all are done
  uint64_t order = 0;
  std::vector<std::unique_ptr<End>> ends;
};
