// The install protocol's datagram: a 20-byte little-endian header with named offsets, then the
// payload. Every field is read and written through these helpers, never through a struct cast.
#pragma once

#include <stdint.h>
#include <string.h>

#include "base/le.h"
#include "netinstall/mac_address.h"

constexpr uint16_t installPort = 5000;
constexpr int kHeaderSize = 20;
constexpr int kPacketSize = 4096;  // the receive size, so the largest datagram
constexpr int kMaxPayload = kPacketSize - kHeaderSize;
constexpr int kDataChunk = 1452;  // file bytes per data message
constexpr uint8_t KindCommand = 0;
constexpr uint8_t KindData = 1;
constexpr uint8_t kFlagAcknowledged = 0x01;

namespace message_header {
constexpr int kSource = 0;
constexpr int kDestination = 6;
constexpr int kFlags = 12;
constexpr int kKind = 13;
constexpr int kPayloadLength = 14;
constexpr int kSequence = 16;
constexpr int kAcknowledged = 18;
}  // namespace message_header

// One datagram, header first. Zeroed when made, so a payload text read from a buffer that never
// held a longer datagram ends in zero bytes.
struct PacketBuffer {
  uint8_t bytes[kPacketSize] = {};
  uint8_t* payload() { return bytes + kHeaderSize; }
  const uint8_t* payload() const { return bytes + kHeaderSize; }
};

// The header fields decoded, for code that wants them all at once.
struct MessageHeader {
  MacAddress source;
  MacAddress destination;
  uint8_t flags;
  uint8_t kind;
  uint16_t payloadLength;
  uint16_t sequence;
  uint16_t acknowledged;
};

inline MessageHeader readHeader(const PacketBuffer& p) {
  namespace h = message_header;
  MessageHeader m;
  memcpy(m.source.bytes, p.bytes + h::kSource, 6);
  memcpy(m.destination.bytes, p.bytes + h::kDestination, 6);
  m.flags = p.bytes[h::kFlags];
  m.kind = p.bytes[h::kKind];
  m.payloadLength = loadLe16(p.bytes + h::kPayloadLength);
  m.sequence = loadLe16(p.bytes + h::kSequence);
  m.acknowledged = loadLe16(p.bytes + h::kAcknowledged);
  return m;
}

inline void writeHeader(PacketBuffer& p, const MessageHeader& m) {
  namespace h = message_header;
  memcpy(p.bytes + h::kSource, m.source.bytes, 6);
  memcpy(p.bytes + h::kDestination, m.destination.bytes, 6);
  p.bytes[h::kFlags] = m.flags;
  p.bytes[h::kKind] = m.kind;
  storeLe16(p.bytes + h::kPayloadLength, m.payloadLength);
  storeLe16(p.bytes + h::kSequence, m.sequence);
  storeLe16(p.bytes + h::kAcknowledged, m.acknowledged);
}

// Whether the payload of a datagram of `length` bytes begins with the four-letter `name`.
inline bool isCommand(const PacketBuffer& p, int length, const char* name) {
  return length >= kHeaderSize + 4 && memcmp(p.payload(), name, 4) == 0;
}
