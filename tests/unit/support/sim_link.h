// A simulated Ethernet segment in virtual time, so both ends of the install protocol run in one
// test: every end is a blocking loop on its own thread, but only one runs at a time. When every
// end waits, the clock jumps to the next delivery or deadline and the end that is due runs.
// Loss, duplication and delay (hence reordering) are drawn from a seeded generator, so a run is
// the same every time. The link is also the platform: its clock is the one the code reads.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "base/datagram.h"
#include "support/fake_platform.h"

class SimLink : public FakePlatform {
 public:
  struct Faults {
    double loss = 0;       // chance that one copy of a datagram is lost
    double duplicate = 0;  // chance that a datagram arrives twice
    int jitterMs = 0;      // extra delay 0..jitterMs on top of 1 ms
  };
  using Bytes = std::vector<uint8_t>;
  struct Sent {
    int64_t at;
    int end;
    Bytes bytes;
  };

  SimLink(uint32_t seed, Faults faults);
  ~SimLink() override;
  // Adds an end whose body runs on its own thread with its own port.
  void addEnd(std::function<void(DatagramPort&)> body);
  // Runs every end to its end. When every end waits for ever, the first waiting for a key gets
  // one: the operator presses it.
  void run();
  // Makes a key waiting for `end` from now on.
  void pressKey(int end);
  void sleepMs(int ms) override;

  std::vector<Sent> sent;                                 // every datagram, in the order sent
  std::function<bool(int end, const Bytes& bytes)> drop;  // true: lost before the faults

 private:
  struct End;
  int send(int from, const uint8_t* bytes, int length);
  int receive(int me, uint8_t* buffer, int capacity, int64_t deadline, bool orKey);
  void block(std::unique_lock<std::mutex>& lock, int me, int64_t wakeAt);
  void schedule();

  std::mt19937 random;
  Faults faults;
  std::mutex mutex;
  std::condition_variable turn;  // signalled at every hand-over
  int running = -2;              // the end that may run; -1 when all are done
  std::vector<std::unique_ptr<End>> ends;
};
