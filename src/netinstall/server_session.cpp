// The server's exchange with one router as a state machine. Each phase is one message waiting
// for its reply; a reply moves the phase on and sends the next message at once, a time-out
// repeats the message until its tries are used up.
#include "netinstall/server_session.h"

#include <stdio.h>
#include <string.h>

#include "base/platform.h"

namespace {

constexpr int kSecond = 1000;
constexpr unsigned kOfferTries = 10;
constexpr unsigned kStartTries = 1800;  // 30 minutes for the router to make its disk ready
constexpr int kTermWaitMs = 100;
constexpr unsigned kTermTries = 5;

const PacketBuffer& current(const ServerSession& s) {
  return s.phase == SessionPhase::File || s.phase == SessionPhase::Script ? s.sender.message
                                                                          : s.message;
}

int currentLength(const ServerSession& s) {
  return s.phase == SessionPhase::File || s.phase == SessionPhase::Script ? s.sender.messageLength
                                                                          : s.messageLength;
}

// Sends the current message (a failed send times out like a loss) and starts its wait.
void transmit(ServerSession& s) {
  (void)s.port->send(current(s).bytes, currentLength(s));
  s.deadline = deadlineAfter(s.timer.timeoutMs);
}

void begin(ServerSession& s, SessionPhase phase, int timeoutMs, unsigned tries, bool backOff) {
  s.phase = phase;
  s.timer.timeoutMs = timeoutMs;
  s.timer.triesLeft = tries;
  s.backOff = backOff;
  transmit(s);
}

void command(ServerSession& s, SessionPhase phase, const char* text, int length, bool withAck,
             int timeoutMs, unsigned tries) {
  memcpy(s.message.payload(), text, static_cast<size_t>(length));
  buildHeader(s.link, s.message, static_cast<uint16_t>(length), withAck, KindCommand);
  s.messageLength = kHeaderSize + length;
  begin(s, phase, timeoutMs, tries, false);
}

// After the script, sent or not: the number it used is passed, then TERM.
void end(ServerSession& s) {
  freeFileSender(s.sender);
  s.link.sendNumber++;
  command(s, SessionPhase::Term, "TERM", 4, false, kTermWaitMs, kTermTries);
}

// The next package, then the script (whose failure no longer undoes the installation), then
// the end handshake.
void nextFile(ServerSession& s) {
  freeFileSender(s.sender);
  s.sender = FileSender();
  if (s.nextPath < s.paths.size()) {
    if (!openFileSender(s.sender, *s.port, s.link, s.paths[s.nextPath++].c_str(), true)) {
      freeFileSender(s.sender);
      s.phase = SessionPhase::Failed;
      return;
    }
    begin(s, SessionPhase::File, kSecond, RetryTimer().triesLeft, true);
    return;
  }
  if (!openFileSender(s.sender, *s.port, s.link, s.script.c_str(), false)) return end(s);
  begin(s, SessionPhase::Script, kSecond, RetryTimer().triesLeft, true);
}

void fileAcknowledged(ServerSession& s) {
  retryAnswered(s.timer);
  switch (advanceFileSender(s.sender)) {
    case FileStep::Built:
      return transmit(s);
    case FileStep::Done:
      if (s.phase == SessionPhase::Script) return end(s);
      s.link.sendNumber++;
      return nextFile(s);
    case FileStep::Failed:
      if (s.phase == SessionPhase::Script) return end(s);
      freeFileSender(s.sender);
      s.phase = SessionPhase::Failed;
  }
}

}  // namespace

void startSession(ServerSession& s, DatagramPort& port, const MacAddress& ownMac,
                  const MacAddress& peerMac, bool keep, const std::vector<std::string>& paths,
                  const std::string& script) {
  s.port = &port;
  s.paths = paths;
  s.script = script;
  s.nextPath = 0;
  resetLinkState(s.link);
  s.link.ownMac = ownMac;
  s.link.peerMac = peerMac;
  s.link.lastReceived = 1;  // the announcement
  const char* text = keep ? "OFFR\nkeep\n" : "OFFR\n";
  command(s, SessionPhase::Offer, text, static_cast<int>(strlen(text)) + 1, true, kSecond,
          kOfferTries);
}

void sessionReceived(ServerSession& s, const PacketBuffer& packet, int length) {
  if (sessionEnded(s) || !takeReply(s.link, packet, length)) return;
  switch (s.phase) {
    case SessionPhase::Offer:
      if (!isCommand(packet, length, "YACK")) {
        s.phase = SessionPhase::Failed;
        return;
      }
      s.link.sendNumber++;
      buildAck(s.link, s.message);
      s.messageLength = kHeaderSize;
      return begin(s, SessionPhase::Start, kSecond, kStartTries, false);
    case SessionPhase::Start:
      if (!isCommand(packet, length, "STRT")) {
        s.phase = SessionPhase::Failed;
        return;
      }
      sendAck(*s.port, s.link);
      sendAck(*s.port, s.link);
      return nextFile(s);
    case SessionPhase::File:
    case SessionPhase::Script:
      return fileAcknowledged(s);
    case SessionPhase::Term:
      s.phase = SessionPhase::Installed;
      return;
    default:
      return;
  }
}

void sessionTimedOut(ServerSession& s) {
  if (sessionEnded(s) || msUntil(s.deadline) > 0) return;
  bool again = s.backOff ? retryTimedOut(s.timer) : --s.timer.triesLeft > 0;
  if (again) return transmit(s);
  switch (s.phase) {
    case SessionPhase::File:
      puts("FATAL ERROR: Installation timeout");
      freeFileSender(s.sender);
      s.phase = SessionPhase::Failed;
      return;
    case SessionPhase::Script:
      puts("FATAL ERROR: Installation timeout");
      return end(s);
    case SessionPhase::Term:  // the router may be gone already: the installation stands
      s.phase = SessionPhase::Installed;
      return;
    default:
      s.phase = SessionPhase::Failed;
  }
}

int sessionWaitMs(const ServerSession& s) {
  return sessionEnded(s) ? -1 : msUntil(s.deadline);
}

bool sessionEnded(const ServerSession& s) {
  return s.phase == SessionPhase::Installed || s.phase == SessionPhase::Failed;
}

void freeSession(ServerSession& s) {
  freeFileSender(s.sender);
}
