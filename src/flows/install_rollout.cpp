// The loop behind installAnnouncingRouters. Datagrams are told apart by their source address:
// a router with a session gets them handed to it, any other may be a new announcement. The
// loop sleeps until a socket has a datagram or the nearest session's wait runs out.
#include "flows/install_rollout.h"

#include <poll.h>
#include <stdio.h>

#include <list>

#include "base/platform.h"
#include "base/signals.h"
#include "flows/config_script.h"
#include "netinstall/server_session.h"

namespace {

struct RouterRecord {
  NetInterface* iface = nullptr;
  MacAddress mac = kNoMac;
  ServerSession session;
};

RouterRecord* findRecord(std::list<RouterRecord>& records, const MacAddress& mac) {
  for (RouterRecord& record : records) {
    if (sameMac(record.mac, mac)) return &record;
  }
  return nullptr;
}

int nearer(int a, int b) {
  return a < 0 ? b : b < 0 ? a : (a < b ? a : b);
}

}  // namespace

bool installAnnouncingRouters(InstallServer& server, const RouterSettings& settings,
                              const std::vector<std::string>& paths, unsigned limit,
                              long idleSeconds, std::vector<RolloutResult>& results) {
  std::list<RouterRecord> records;  // a session stays where it is while others come
  int64_t idleDeadline = idleSeconds < 0 ? -1 : deadlineAfter(static_cast<int>(idleSeconds * 1000));
  std::vector<pollfd> waiting(server.interfaceCount);
  PacketBuffer packet;
  bool failed = false;
  for (;;) {
    bool listening =
        (limit == 0 || records.size() < limit) && (idleDeadline < 0 || msUntil(idleDeadline) > 0);
    int waitMs = listening ? msUntil(idleDeadline) : -1;
    bool active = false;
    for (RouterRecord& record : records) {
      sessionTimedOut(record.session);
      active = active || !sessionEnded(record.session);
      waitMs = nearer(waitMs, sessionWaitMs(record.session));
    }
    if (!listening && !active) break;
    for (unsigned i = 0; i < server.interfaceCount; ++i) {
      waiting[i] = {server.interfaces[i]->socket, POLLIN, 0};
    }
    fflush(stdout);
    if (pollWithAbort(waiting.data(), waiting.size(), waitMs) < 0) {
      failed = true;
      break;
    }
    for (unsigned i = 0; i < server.interfaceCount; ++i) {
      if (!waiting[i].revents) continue;
      NetInterface& iface = *server.interfaces[i];
      int length = iface.receive(packet.bytes, kPacketSize, 0);
      if (length < kHeaderSize) continue;
      MacAddress source = readHeader(packet).source;
      if (RouterRecord* record = findRecord(records, source)) {
        if (record->iface == &iface) sessionReceived(record->session, packet, length);
        continue;
      }
      char label[32];
      if (!listening || !isAnnouncement(server.link, iface.mac, packet, length, label)) continue;
      records.emplace_back();
      RouterRecord& record = records.back();
      record.iface = &iface;
      record.mac = source;
      printf("found router %s (%s)\n", macToText(source), label);
      std::string script;
      if (!settings.keep) {
        script = buildConfigScript(source, settings.address, settings.prefix, settings.gateway,
                                   settings.baud);
      }
      if (!fitsOneInstallation(paths, script)) {
        puts("the packages are too many for one network installation");
        record.session.phase = SessionPhase::Failed;
        continue;
      }
      startSession(record.session, iface, iface.mac, source, settings.keep, paths, script);
      if (idleSeconds >= 0) idleDeadline = deadlineAfter(static_cast<int>(idleSeconds * 1000));
    }
  }
  for (RouterRecord& record : records) {
    results.push_back({record.mac, record.session.phase == SessionPhase::Installed});
    freeSession(record.session);
  }
  return !failed;
}
