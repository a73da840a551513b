// The lock-step scheduler and the lossy segment of the simulated link.
#include "support/sim_link.h"

#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

constexpr int64_t kNever = INT64_MAX;

struct SimLink::End : DatagramPort {
  SimLink* link;
  int me;
  std::function<void(DatagramPort&)> body;
  std::multimap<int64_t, Bytes> inbox;  // by delivery time; equal times keep their order
  bool done = false, listening = false, wantsKey = false;
  int64_t wakeAt = 0, keyAt = kNever;

  End(SimLink* link, int me, std::function<void(DatagramPort&)> body)
      : link(link), me(me), body(std::move(body)) {}

  int send(const uint8_t* bytes, int length) override { return link->send(me, bytes, length); }
  int receive(uint8_t* buffer, int capacity, int timeoutMs) override {
    return link->receive(me, buffer, capacity, link->now + timeoutMs, false);
  }
  int receiveOrKey(uint8_t* buffer, int capacity) override {
    return link->receive(me, buffer, capacity, kNever, true);
  }
  void discardKey() override {
    std::lock_guard<std::mutex> hold(link->mutex);
    keyAt = kNever;
  }
};

SimLink::SimLink(uint32_t seed, Faults faults) : random(seed), faults(faults) {
  now = 0;
}
SimLink::~SimLink() = default;

void SimLink::addEnd(std::function<void(DatagramPort&)> body) {
  ends.push_back(std::make_unique<End>(this, int(ends.size()), std::move(body)));
}

void SimLink::run() {
  // Only one end runs at a time: on one processor a hand-over is a plain switch, not a wake-up
  // across processors, which makes thousands of runs take seconds instead of minutes.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(std::max(sched_getcpu(), 0), &one);
  sched_setaffinity(0, sizeof one, &one);
  std::vector<std::thread> threads;
  for (auto& end : ends) {
    threads.emplace_back([this, e = end.get()] {
      std::unique_lock<std::mutex> lock(mutex);
      turn.wait(lock, [&] { return running == e->me; });
      lock.unlock();
      e->body(*e);
      lock.lock();
      e->done = true;
      schedule();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    schedule();
    turn.wait(lock, [&] { return running == -1; });
  }
  for (std::thread& thread : threads) thread.join();
}

void SimLink::pressKey(int end) {
  std::lock_guard<std::mutex> hold(mutex);
  ends[size_t(end)]->keyAt = now;
}

void SimLink::sleepMs(int ms) {
  std::unique_lock<std::mutex> lock(mutex);
  for (int64_t until = now + ms; now < until;) block(lock, running, until);
}

int SimLink::send(int from, const uint8_t* bytes, int length) {
  std::lock_guard<std::mutex> hold(mutex);
  Bytes copy(bytes, bytes + length);
  sent.push_back({now, from, copy});
  if (drop && drop(from, copy)) return length;
  std::uniform_real_distribution<double> chance(0, 1);
  std::uniform_int_distribution<int> jitter(0, faults.jitterMs);
  for (auto& end : ends) {
    if (end->me == from) continue;
    for (int c = chance(random) < faults.duplicate ? 2 : 1; c > 0; --c) {
      if (chance(random) >= faults.loss) end->inbox.emplace(now + 1 + jitter(random), copy);
    }
  }
  return length;
}

int SimLink::receive(int me, uint8_t* buffer, int capacity, int64_t deadline, bool orKey) {
  std::unique_lock<std::mutex> lock(mutex);
  End& end = *ends[size_t(me)];
  for (;;) {
    if (orKey && end.keyAt <= now) return -2;
    auto due = end.inbox.begin();
    if (due != end.inbox.end() && due->first <= now) {
      int length = int(due->second.size());
      memcpy(buffer, due->second.data(), size_t(std::min(length, capacity)));
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
  ends[size_t(me)]->wakeAt = wakeAt;
  schedule();
  turn.wait(lock, [&] { return running == me; });
}

void SimLink::schedule() {
  int next = -1, keyless = -1;
  int64_t at = kNever;
  bool anyLeft = false;
  for (auto& end : ends) {
    if (end->done) continue;
    anyLeft = true;
    int64_t due = end->wakeAt;
    if (end->listening && !end->inbox.empty()) due = std::min(due, end->inbox.begin()->first);
    if (due < at) at = due, next = end->me;
    if (end->wantsKey && keyless < 0) keyless = end->me;
  }
  // The end due first runs; with none due, the operator presses the key one waits for.
  if (next >= 0) now = std::max(now, at);
  if (next < 0 && keyless >= 0) ends[size_t(keyless)]->keyAt = now;
  running = next >= 0 ? next : keyless;  // -1: all are done
  if (running < 0 && anyLeft) abort();   // every end waits for ever
  turn.notify_all();
}
