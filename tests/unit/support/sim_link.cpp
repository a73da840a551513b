// The lock-step scheduler and the lossy segment of the simulated link.
#include "support/sim_link.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

namespace {
constexpr int64_t kNever = INT64_MAX;
}

struct SimLink::End {
  struct Delivery {
    int64_t at;
    uint64_t order;
    std::vector<uint8_t> bytes;
  };
  std::function<void(DatagramPort&)> body;
  std::unique_ptr<DatagramPort> port;
  std::thread thread;
  std::vector<Delivery> inbox;
  bool done = false;
  std::condition_variable turn;  // signalled when this end may run
  bool listening = false;        // waiting in a receive, so a delivery wakes it
  bool wantsKey = false;
  int64_t wakeAt = 0;
  int64_t keyAt = kNever;

  // The delivery due first, or inbox.end().
  std::vector<Delivery>::iterator first() {
    return std::min_element(inbox.begin(), inbox.end(), [](const Delivery& a, const Delivery& b) {
      return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
  }
};

class SimLink::Port : public DatagramPort {
 public:
  Port(SimLink& link, int index) : link(link), index(index) {}
  int send(const uint8_t* bytes, int length) override { return link.send(index, bytes, length); }
  int receive(uint8_t* buffer, int capacity, int timeoutMs) override {
    return link.receive(index, buffer, capacity, timeoutMs, false);
  }
  int receiveOrKey(uint8_t* buffer, int capacity) override {
    return link.receive(index, buffer, capacity, -1, true);
  }
  void discardKey() override {
    std::lock_guard<std::mutex> hold(link.mutex);
    link.ends[index]->keyAt = kNever;
  }

 private:
  SimLink& link;
  int index;
};

SimLink::SimLink(uint32_t seed, Faults faults) : random(seed), faults(faults) {
  setPlatform(this);
}

SimLink::~SimLink() {
  setPlatform(nullptr);
}

int SimLink::addEnd(std::function<void(DatagramPort&)> body) {
  int index = static_cast<int>(ends.size());
  ends.push_back(std::make_unique<End>());
  ends.back()->body = std::move(body);
  ends.back()->port = std::make_unique<Port>(*this, index);
  return index;
}

void SimLink::run() {
  // Only one end runs at a time: on one processor a hand-over is a plain switch, not a wake-up
  // across processors, which makes thousands of runs take seconds instead of minutes.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);
  for (size_t i = 0; i < ends.size(); ++i) {
    End* end = ends[i].get();
    int me = static_cast<int>(i);
    end->thread = std::thread([this, end, me] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        end->turn.wait(lock, [&] { return running == me; });
      }
      end->body(*end->port);
      std::lock_guard<std::mutex> hold(mutex);
      end->done = true;
      schedule();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    schedule();
    finished.wait(lock, [&] { return running == -1; });
  }
  for (auto& end : ends) end->thread.join();
}

void SimLink::pressKey(int end) {
  std::lock_guard<std::mutex> hold(mutex);
  ends[static_cast<size_t>(end)]->keyAt = now;
}

void SimLink::sleepMs(int ms) {
  std::unique_lock<std::mutex> lock(mutex);
  int me = running;
  int64_t until = now + ms;
  while (now < until) block(lock, me, until);
}

int SimLink::send(int from, const uint8_t* bytes, int length) {
  std::lock_guard<std::mutex> hold(mutex);
  std::vector<uint8_t> copy(bytes, bytes + length);
  sent.push_back({now, from, copy});
  if (drop && drop(from, copy)) return length;
  std::uniform_real_distribution<double> chance(0, 1);
  std::uniform_int_distribution<int> jitter(0, faults.jitterMs);
  for (size_t i = 0; i < ends.size(); ++i) {
    if (static_cast<int>(i) == from) continue;
    int copies = chance(random) < faults.duplicate ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
      if (chance(random) < faults.loss) continue;
      ends[i]->inbox.push_back({now + 1 + jitter(random), order++, copy});
    }
  }
  return length;
}

int SimLink::receive(int me, uint8_t* buffer, int capacity, int timeoutMs, bool orKey) {
  std::unique_lock<std::mutex> lock(mutex);
  End& end = *ends[static_cast<size_t>(me)];
  int64_t deadline = timeoutMs < 0 ? kNever : now + timeoutMs;
  for (;;) {
    if (orKey && end.keyAt <= now) return -2;
    auto due = end.first();
    if (due != end.inbox.end() && due->at <= now) {
      int length = static_cast<int>(due->bytes.size());
      memcpy(buffer, due->bytes.data(), static_cast<size_t>(std::min(length, capacity)));
      end.inbox.erase(due);
      return length;
    }
    if (now >= deadline) return -1;
    end.listening = true;
    end.wantsKey = orKey;
    block(lock, me, orKey ? end.keyAt : deadline);
    end.listening = end.wantsKey = false;
  }
}

// Called by the running end with the lock held: hands the turn on and waits for it to return.
void SimLink::block(std::unique_lock<std::mutex>& lock, int me, int64_t wakeAt) {
  ends[static_cast<size_t>(me)]->wakeAt = wakeAt;
  schedule();
  ends[static_cast<size_t>(me)]->turn.wait(lock, [&] { return running == me; });
}

void SimLink::schedule() {
  int next = -1;
  int64_t at = kNever;
  int keyless = -1;
  bool anyLeft = false;
  for (size_t i = 0; i < ends.size(); ++i) {
    End& end = *ends[i];
    if (end.done) continue;
    anyLeft = true;
    int64_t due = end.wakeAt;
    auto first = end.first();
    if (end.listening && first != end.inbox.end()) due = std::min(due, first->at);
    if (due < at) {
      at = due;
      next = static_cast<int>(i);
    }
    if (end.wantsKey && keyless < 0) keyless = static_cast<int>(i);
  }
  if (!anyLeft) {
    running = -1;
  } else if (next >= 0) {
    now = std::max(now, at);
    running = next;
  } else if (keyless >= 0) {
    ends[static_cast<size_t>(keyless)]->keyAt = now;
    running = keyless;
  } else {
    fprintf(stderr, "simulated link: every end waits for ever\n");
    abort();
  }
  if (running >= 0) {
    ends[static_cast<size_t>(running)]->turn.notify_one();
  } else {
    finished.notify_one();
  }
}
