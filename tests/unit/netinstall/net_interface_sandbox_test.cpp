// The real interface list and sockets in a private network namespace (root): only loopback
// gives an empty list; a veth pair gives two interfaces whose broadcasts reach each other.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netinstall/net_interface.h"
#include "netinstall/protocol.h"

namespace {

// Runs `body` in a child in a fresh network namespace; its result is the child's exit status.
int inNetworkNamespace(int (*body)()) {
  pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? body() : 99);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(NetInterface, loopbackOnlyGivesAnEmptyList) {
  EXPECT_EQ(0, inNetworkNamespace([] {
              unsigned count = 7;
              NetInterface** list = listInterfaces(count);
              int result = !list ? 1 : count != 0 ? 2 : interfaceMacText(list, count, 0) ? 3 : 0;
              freeInterfaces(list, count);
              return result;
            }));
}

TEST(NetInterface, vethPairCarriesAnAnnouncement) {
  EXPECT_EQ(0, inNetworkNamespace([] {
              if (system("ip link add n0 type veth peer name n1") != 0) return 10;
              unsigned count = 0;
              NetInterface** list = listInterfaces(count);
              if (!list || count != 2) return 11;
              LinkState client, server;
              PacketBuffer packet;
              char label[32] = "";
              int result = 13;
              // A new veth link may drop datagrams while its carrier comes up; the client
              // announces every cycle anyway.
              for (int cycle = 0; cycle < 10 && result == 13; ++cycle) {
                if (!announce(*list[0], client, list[0]->mac, "veth")) return 12;
                int n = list[1]->receive(packet.bytes, kPacketSize, 500);
                if (isAnnouncement(server, list[1]->mac, packet, n, label)) result = 0;
              }
              if (!result && strcmp(label, "veth") != 0) result = 14;
              freeInterfaces(list, count);
              return result;
            }));
}

}  // namespace
