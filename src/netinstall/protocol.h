// The install protocol's link state and exchanges, both roles: acceptance of datagrams, the
// stop-and-wait send, discovery, the offer and preparation exchanges and the end handshake.
// All waits run on the platform clock through a DatagramPort; nothing here keeps global state.
#pragma once

#include <stdint.h>

#include "base/datagram.h"
#include "netinstall/message_layout.h"

// One side's view of its link with one peer.
struct LinkState {
  uint16_t sendNumber = 1;    // carried by the next (or the unanswered) sequenced message
  uint16_t lastReceived = 0;  // the peer's last accepted sequence number
  MacAddress ownMac = kNoMac;
  MacAddress peerMac = kNoMac;  // zero while the peer is unknown
};

// Starts the numbering again; the addresses stay.
void resetLinkState(LinkState& link);
// Writes the header for a message of `length` payload bytes from the link state; the state is
// not changed.
void buildHeader(const LinkState& link, PacketBuffer& packet, uint16_t length, bool withAck,
                 uint8_t kind);
// The header of an acknowledgement: sent as the 20 header bytes alone.
void buildAck(const LinkState& link, PacketBuffer& packet);
// Length, own broadcasts, addressing and peer: whether the datagram is meant for this link.
bool checkFrame(const LinkState& link, const PacketBuffer& packet, int length);
// checkFrame plus the sequence rules; a sequenced message that is accepted advances
// lastReceived.
bool acceptMessage(LinkState& link, const PacketBuffer& packet, int length);
// Whether the datagram repeats the peer's last accepted message (our acknowledgement was lost).
bool isRepeat(const LinkState& link, const PacketBuffer& packet, int length);
// Sends a fresh acknowledgement of the peer's last accepted message.
void sendAck(DatagramPort& port, const LinkState& link);

// Whether a received datagram is a reply: an accepted sequenced message of the peer, or an
// acknowledgement of our sendNumber.
bool takeReply(LinkState& link, const PacketBuffer& packet, int length);
// Waits up to timeoutMs for a reply: an accepted sequenced message of the peer, or an
// acknowledgement of our sendNumber. Returns its length, or -1.
int waitForReply(DatagramPort& port, LinkState& link, PacketBuffer& reply, int timeoutMs);
// Sends the `length`-byte datagram unchanged up to `tries` times, waiting timeoutMs after each.
// Returns the reply's length, or -1 (also at once when a send fails).
int sendAndWait(DatagramPort& port, LinkState& link, const PacketBuffer& message,
                PacketBuffer& reply, int length, int timeoutMs, unsigned tries);

// Client discovery: resets the link on `ownMac` and broadcasts one DSCV with `label` (at most
// 31 characters). False when the send fails.
bool announce(DatagramPort& port, LinkState& link, const MacAddress& ownMac, const char* label);
// Client discovery: takes every waiting datagram until one is an offer for this interface.
// On an offer the link knows its peer, sendNumber is 2, `keep` tells whether the old
// configuration is to be kept, and it returns true.
bool pollOffer(DatagramPort& port, LinkState& link, const MacAddress& ownMac, PacketBuffer& packet,
               bool& keep);
// Whether one received datagram is a valid offer (the checks of pollOffer, link reset first).
bool takeOffer(LinkState& link, const MacAddress& ownMac, const PacketBuffer& packet, int length,
               bool& keep);
// Server scan: whether a datagram received on the interface `ownMac` is an announcement;
// copies its label (at most 31 characters) into `label` (32 bytes). The link is reset.
bool isAnnouncement(LinkState& link, const MacAddress& ownMac, const PacketBuffer& packet,
                    int length, char* label);

enum class OfferOutcome { Accepted, Refused, NoReply };
// Server: offers the installation to the router `peerMac` that announced itself on `ownMac`.
OfferOutcome sendOffer(DatagramPort& port, LinkState& link, const MacAddress& ownMac,
                       const MacAddress& peerMac, bool keep);
// Server, after an accepted offer: repeats its acknowledgement every second for up to 30 minutes
// until the router reports STRT, then acknowledges STRT (twice, so that one loss does not make
// the router take the first FILE for its reply). False without STRT.
bool awaitStart(DatagramPort& port, LinkState& link);
// Client, after an offer: YACK, 1 s x 5. True when the server acknowledged; sendNumber is 3.
bool acceptOffer(DatagramPort& port, LinkState& link);
// Client, disk ready: STRT, 1 s x 5. Returns the reply's length in `reply` (sendNumber is then
// 4), or -1. The reply is a sequenced message (a FILE) when the acknowledgement was lost: the
// caller must then handle it as the first file.
int sendStart(DatagramPort& port, LinkState& link, PacketBuffer& reply);

// Sends TERM (no acknowledgement field) up to `tries` times; the outcome does not matter.
void sendTerm(DatagramPort& port, LinkState& link, int timeoutMs, unsigned tries);
// The end handshake of either side: waits for the peer's TERM or the operator's key (the
// server consumes it), acknowledges TERM, or sends its own TERM.
void waitForTerm(DatagramPort& port, LinkState& link, bool consumeKey);

// Sequenced server messages needed to send files of these sizes (FILE plus its data messages
// each, plus the configuration script of `scriptSize` bytes), counted from OFFR. A total above
// 65535 cannot be carried by one link state: the selection is too large.
uint32_t sequencesNeeded(const uint32_t* sizes, unsigned count, uint32_t scriptSize);
