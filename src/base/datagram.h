// The datagram seam under the install protocol: one broadcast port on one network interface.
// The protocol code sends and receives through it and never touches a socket, so both ends of
// an installation can run in one test over a simulated lossy link in virtual time. Time-outs
// are measured on the platform clock (base/platform.h).
#pragma once

#include <stdint.h>

class DatagramPort {
 public:
  virtual ~DatagramPort() = default;
  // Sends `length` bytes as one datagram. Returns the count sent, or -1.
  virtual int send(const uint8_t* bytes, int length) = 0;
  // Waits at most timeoutMs (0 only looks) for one datagram and copies at most `capacity` bytes
  // of it. Returns its length, or -1 on time-out or failure.
  virtual int receive(uint8_t* buffer, int capacity, int timeoutMs) = 0;
  // Waits without limit for a datagram or a key on standard input. A waiting key wins and is
  // left unread: -2. Interrupted: -1. Failed: 0 (as is an empty datagram). Otherwise the length.
  virtual int receiveOrKey(uint8_t* buffer, int capacity) = 0;
  // Reads and drops the one key that receiveOrKey reported.
  virtual void discardKey() = 0;
};
