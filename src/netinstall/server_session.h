// One router's installation as the server runs it alongside others: the exchange of sendOffer,
// awaitStart, sendFile and the end handshake, kept as a state that moves on when a datagram of
// its router arrives or its wait runs out, so that one loop can drive many routers at once. The
// messages, numbers, waits and tries are those of the blocking exchanges.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "base/datagram.h"
#include "netinstall/file_transfer.h"
#include "netinstall/protocol.h"

enum class SessionPhase { Offer, Start, File, Script, Term, Installed, Failed };

struct ServerSession {
  SessionPhase phase = SessionPhase::Offer;
  DatagramPort* port = nullptr;  // the interface its router announced on (not owned)
  LinkState link;
  std::vector<std::string> paths;  // the packages, in install order
  std::string script;              // the first-start script, empty to keep the configuration
  size_t nextPath = 0;
  FileSender sender;     // the file or script on its way
  PacketBuffer message;  // the offer, the acknowledgement before STRT, TERM
  int messageLength = 0;
  RetryTimer timer;       // wait and tries of the message that waits for its reply
  bool backOff = false;   // the file transfer's growing wait; the others wait alike each try
  int64_t deadline = -1;  // of the current wait
};

// Sends the offer to `peerMac`, which announced itself through `port` whose own address is
// `ownMac`.
void startSession(ServerSession& session, DatagramPort& port, const MacAddress& ownMac,
                  const MacAddress& peerMac, bool keep, const std::vector<std::string>& paths,
                  const std::string& script);
// Hands the session a datagram received on its port from its router.
void sessionReceived(ServerSession& session, const PacketBuffer& packet, int length);
// Resends, or gives up, when the current wait has run out; call it when sessionWaitMs is 0.
void sessionTimedOut(ServerSession& session);
// Milliseconds until the session's wait runs out (0: now), -1 once it has ended.
int sessionWaitMs(const ServerSession& session);
bool sessionEnded(const ServerSession& session);
// Closes the file still open after a failure.
void freeSession(ServerSession& session);
