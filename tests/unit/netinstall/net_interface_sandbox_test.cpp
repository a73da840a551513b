// The real interface list and sockets in a private network namespace (root): only loopback
// gives an empty list; a veth pair is passed over while down when the cards are shared, and
// then gives two interfaces whose broadcasts reach each other and not themselves.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netinstall/net_interface.h"
#include "netinstall/protocol.h"

namespace {

short flagsOf(const char* name) {
  int query = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request = {};
  snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
  short flags = ioctl(query, SIOCGIFFLAGS, &request) == 0 ? request.ifr_flags : -1;
  close(query);
  return flags;
}

// In a fresh network namespace; the child's exit status names the first check that failed.
int loopbackThenVethPair() {
  if (unshare(CLONE_NEWNET) != 0) return 99;
  unsigned count = 7;
  NetInterface** list = listInterfaces(count);
  if (!list || count != 0 || interfaceMacText(list, count, 0)) return 1;
  freeInterfaces(list, count);
  if (system("ip link add n0 type veth peer name n1") != 0) return 10;
  // Shared, a card that is down is left down, and one that is up is not made promiscuous.
  list = listInterfaces(count, InterfaceUse::Share);
  freeInterfaces(list, count);
  if (count != 0 || (flagsOf("n0") & IFF_UP)) return 20;
  if (system("ip link set n1 up") != 0) return 21;
  list = listInterfaces(count, InterfaceUse::Share);
  freeInterfaces(list, count);
  if (count != 1 || (flagsOf("n1") & IFF_PROMISC) || (flagsOf("n0") & IFF_UP)) return 22;
  list = listInterfaces(count);
  if (!list || count != 2 || !(flagsOf("n0") & IFF_PROMISC)) return 11;
  LinkState client, server;
  PacketBuffer packet;
  char label[32] = "";
  int result = 13;
  // A new veth link may drop datagrams while its carrier comes up; the client announces every
  // cycle anyway.
  for (int cycle = 0; cycle < 10 && result == 13; ++cycle) {
    if (!announce(*list[0], client, list[0]->mac, "veth")) return 12;
    int n = list[1]->receive(packet.bytes, kPacketSize, 500);
    if (isAnnouncement(server, list[1]->mac, packet, n, label)) result = 0;
  }
  // The sender's own copies of its broadcasts never reach its socket.
  if (result == 0 && list[0]->receive(packet.bytes, kPacketSize, 0) >= 0) result = 15;
  freeInterfaces(list, count);
  return result || strcmp(label, "veth") == 0 ? result : 14;
}

TEST(NetInterface, listsSharedOrTakenOverCardsAndCarriesAnAnnouncementOneWay) {
  pid_t child = fork();
  if (child == 0) _exit(loopbackThenVethPair());
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(0, status);  // exited, 0
}

}  // namespace
