// The install protocol's rules and exchanges. Every receive goes through acceptMessage, which
// checks the length first, then the peer, then the sequence; anything else is dropped silently.
#include "netinstall/protocol.h"

#include <stdio.h>
#include <string.h>

#include "base/platform.h"

namespace {

constexpr int kSecond = 1000;
constexpr int kLabelMax = 31;

int sendCommand(DatagramPort& port, LinkState& link, PacketBuffer& message, PacketBuffer& reply,
                const char* text, int textLength, bool withAck, int timeoutMs, unsigned tries) {
  memcpy(message.payload(), text, static_cast<size_t>(textLength));
  buildHeader(link, message, static_cast<uint16_t>(textLength), withAck, KindCommand);
  return sendAndWait(port, link, message, reply, kHeaderSize + textLength, timeoutMs, tries);
}

// The payload as text, bounded by the datagram: a buffer may hold bytes of a longer datagram.
const char* lineEnd(const PacketBuffer& packet, int length, const char* from) {
  const char* end = reinterpret_cast<const char*>(packet.bytes) + length;
  const void* found = memchr(from, '\n', static_cast<size_t>(end - from));
  return static_cast<const char*>(found);
}

}  // namespace

void resetLinkState(LinkState& link) {
  link.sendNumber = 1;
  link.lastReceived = 0;
}

void buildHeader(const LinkState& link, PacketBuffer& packet, uint16_t length, bool withAck,
                 uint8_t kind) {
  MessageHeader h;
  h.source = link.ownMac;
  h.destination = link.peerMac;
  h.flags = withAck ? kFlagAcknowledged : 0;
  h.kind = kind;
  h.payloadLength = length;
  h.sequence = link.sendNumber;
  h.acknowledged = withAck ? link.lastReceived : 0;
  writeHeader(packet, h);
}

void buildAck(const LinkState& link, PacketBuffer& packet) {
  buildHeader(link, packet, 0, true, KindCommand);
}

bool checkFrame(const LinkState& link, const PacketBuffer& packet, int length) {
  if (length < kHeaderSize) return false;
  MessageHeader h = readHeader(packet);
  if (length - kHeaderSize != h.payloadLength) return false;
  if (sameMac(h.source, link.ownMac)) return false;
  if (isNoMac(h.destination) ? !isNoMac(link.peerMac) : !sameMac(h.destination, link.ownMac)) {
    return false;
  }
  return isNoMac(link.peerMac) || sameMac(h.source, link.peerMac);
}

bool acceptMessage(LinkState& link, const PacketBuffer& packet, int length) {
  if (!checkFrame(link, packet, length)) return false;
  MessageHeader h = readHeader(packet);
  if ((h.flags & kFlagAcknowledged) && h.acknowledged > link.sendNumber) return false;
  if (h.payloadLength == 0) return true;
  // Widened, so that after 65535 nothing is ever accepted again rather than wrapping.
  if (static_cast<uint32_t>(h.sequence) != static_cast<uint32_t>(link.lastReceived) + 1) {
    return false;
  }
  link.lastReceived = h.sequence;
  return true;
}

bool isRepeat(const LinkState& link, const PacketBuffer& packet, int length) {
  if (length < kHeaderSize) return false;
  MessageHeader h = readHeader(packet);
  return sameMac(h.source, link.peerMac) && h.sequence == link.lastReceived;
}

void sendAck(DatagramPort& port, const LinkState& link) {
  PacketBuffer ack;
  buildAck(link, ack);
  (void)port.send(ack.bytes, kHeaderSize);  // a lost acknowledgement is repaired by a repeat
}

bool takeReply(LinkState& link, const PacketBuffer& packet, int length) {
  if (!acceptMessage(link, packet, length)) return false;
  MessageHeader h = readHeader(packet);
  return !(h.flags & kFlagAcknowledged) || h.acknowledged == link.sendNumber;
}

int waitForReply(DatagramPort& port, LinkState& link, PacketBuffer& reply, int timeoutMs) {
  int64_t deadline = deadlineAfter(timeoutMs);
  for (;;) {
    int n = port.receive(reply.bytes, kPacketSize, msUntil(deadline));
    if (n >= 0 && takeReply(link, reply, n)) return n;
    if (msUntil(deadline) == 0) return -1;
  }
}

int sendAndWait(DatagramPort& port, LinkState& link, const PacketBuffer& message,
                PacketBuffer& reply, int length, int timeoutMs, unsigned tries) {
  for (unsigned i = 0; i < tries; ++i) {
    if (port.send(message.bytes, length) != length) return -1;
    int n = waitForReply(port, link, reply, timeoutMs);
    if (n >= 0) return n;
  }
  return -1;
}

bool announce(DatagramPort& port, LinkState& link, const MacAddress& ownMac, const char* label) {
  resetLinkState(link);
  link.ownMac = ownMac;
  PacketBuffer message;
  int textLength = snprintf(reinterpret_cast<char*>(message.payload()), kMaxPayload,
                            "DSCV\n%.31s\ni386\n", label);
  uint16_t length = static_cast<uint16_t>(textLength + 1);  // the zero byte travels too
  buildHeader(link, message, length, false, KindCommand);
  return port.send(message.bytes, kHeaderSize + length) == kHeaderSize + length;
}

bool takeOffer(LinkState& link, const MacAddress& ownMac, const PacketBuffer& packet, int length,
               bool& keep) {
  resetLinkState(link);
  link.ownMac = ownMac;
  if (!acceptMessage(link, packet, length)) return false;
  MessageHeader h = readHeader(packet);
  if (isNoMac(h.destination) || h.acknowledged != link.lastReceived || h.kind != KindCommand) {
    return false;
  }
  if (!isCommand(packet, length, "OFFR")) return false;
  const char* name = reinterpret_cast<const char*>(packet.payload());
  const char* nameEnd = lineEnd(packet, length, name);
  if (!nameEnd) return false;
  const char* keepLine = nameEnd + 1;
  const char* keepEnd = lineEnd(packet, length, keepLine);
  keep = keepEnd && keepEnd - keepLine == 4 && memcmp(keepLine, "keep", 4) == 0;
  link.peerMac = h.source;
  link.sendNumber++;
  return true;
}

bool pollOffer(DatagramPort& port, LinkState& link, const MacAddress& ownMac, PacketBuffer& packet,
               bool& keep) {
  for (;;) {
    int n = port.receive(packet.bytes, kPacketSize, 0);
    if (n < 0) return false;
    if (takeOffer(link, ownMac, packet, n, keep)) return true;
  }
}

bool isAnnouncement(LinkState& link, const MacAddress& ownMac, const PacketBuffer& packet,
                    int length, char* label) {
  resetLinkState(link);
  link.ownMac = ownMac;
  link.peerMac = kNoMac;
  if (!acceptMessage(link, packet, length)) return false;
  MessageHeader h = readHeader(packet);
  if (!isNoMac(h.destination) || h.acknowledged != 0 || h.kind != KindCommand) return false;
  if (!isCommand(packet, length, "DSCV")) return false;
  const char* name = reinterpret_cast<const char*>(packet.payload());
  const char* nameEnd = lineEnd(packet, length, name);
  if (!nameEnd || nameEnd != name + 4) return false;
  const char* labelStart = nameEnd + 1;
  const char* labelEnd = lineEnd(packet, length, labelStart);
  if (!labelEnd || labelEnd - labelStart > kLabelMax) return false;
  memcpy(label, labelStart, static_cast<size_t>(labelEnd - labelStart));
  label[labelEnd - labelStart] = '\0';
  return true;
}

OfferOutcome sendOffer(DatagramPort& port, LinkState& link, const MacAddress& ownMac,
                       const MacAddress& peerMac, bool keep) {
  link.ownMac = ownMac;
  link.peerMac = peerMac;
  link.lastReceived = 1;  // the announcement
  const char* text = keep ? "OFFR\nkeep\n" : "OFFR\n";
  PacketBuffer message, reply;
  int n = sendCommand(port, link, message, reply, text, static_cast<int>(strlen(text)) + 1, true,
                      kSecond, 10);
  if (n < 0) return OfferOutcome::NoReply;
  return isCommand(reply, n, "YACK") ? OfferOutcome::Accepted : OfferOutcome::Refused;
}

bool awaitStart(DatagramPort& port, LinkState& link) {
  link.sendNumber++;
  PacketBuffer ack, reply;
  buildAck(link, ack);
  int n = sendAndWait(port, link, ack, reply, kHeaderSize, kSecond, 1800);
  if (n < 0 || !isCommand(reply, n, "STRT")) return false;
  sendAck(port, link);
  sendAck(port, link);
  return true;
}

bool acceptOffer(DatagramPort& port, LinkState& link) {
  PacketBuffer message, reply;
  if (sendCommand(port, link, message, reply, "YACK\n", 5, true, kSecond, 5) < 0) return false;
  link.sendNumber++;
  return true;
}

int sendStart(DatagramPort& port, LinkState& link, PacketBuffer& reply) {
  PacketBuffer message;
  int n = sendCommand(port, link, message, reply, "STRT", 4, false, kSecond, 5);
  if (n < 1) return -1;
  link.sendNumber++;
  return n;
}

void sendTerm(DatagramPort& port, LinkState& link, int timeoutMs, unsigned tries) {
  PacketBuffer message, reply;
  (void)sendCommand(port, link, message, reply, "TERM", 4, false, timeoutMs, tries);
}

void waitForTerm(DatagramPort& port, LinkState& link, bool consumeKey) {
  PacketBuffer packet;
  for (;;) {
    int n = port.receiveOrKey(packet.bytes, kPacketSize);
    if (n == -2) {
      if (consumeKey) port.discardKey();
      break;
    }
    if (n == 0) break;
    if (n < 0) continue;
    if (acceptMessage(link, packet, n) && isCommand(packet, n, "TERM")) {
      sendAck(port, link);
      return;
    }
    // Only the client re-acknowledges here: the server never receives sequenced repeats.
    if (!consumeKey && isRepeat(link, packet, n)) {
      sendAck(port, link);
      printf("resend ack: %d\n", link.lastReceived);
    }
  }
  sendTerm(port, link, 100, 5);
}

uint32_t sequencesNeeded(const uint32_t* sizes, unsigned count, uint32_t scriptSize) {
  uint32_t highest = 1;  // OFFR
  for (unsigned i = 0; i < count; ++i) highest += 1 + (sizes[i] + kDataChunk - 1) / kDataChunk;
  highest += 1 + (scriptSize + kMaxPayload - 1) / kMaxPayload;
  return highest + 1;  // TERM
}
