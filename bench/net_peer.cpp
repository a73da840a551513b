// The far ends of the network benchmark, each run in its own network namespace by
// net_bench.py:
//   net_peer receive DIR             a router: the client flow's discovery and transfer, the
//                                    packages written to files of DIR instead of installed
//                                    (to /dev/null with NET_PEER_DISCARD set)
//   net_peer echo IFACE              answers every full-size datagram with a 20-byte one
//   net_peer ping IFACE SECONDS      full-size datagram, 20-byte answer, again: the
//                                    stop-and-wait limit of the protocol's own sockets
//   net_peer switch NS DEV MAC NS DEV MAC LOSS% SEED DELAY_US
//                                    the tests' lossy switch, until killed
// Times are CLOCK_MONOTONIC, shared by every namespace, so the driver can lay the routers'
// transfers side by side.
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "flows/install_client.h"
#include "netinstall/message_layout.h"
#include "netinstall/net_interface.h"
#include "support/lossy_switch.h"

namespace {

constexpr int kHeaderSize = 20;
constexpr int kFullDatagram = kHeaderSize + 1452;

double nowSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Writes each package to a file of the directory, as a TFTP client writes what it fetches; the
// driver compares the files afterwards, so no checksum runs inside the timed transfer.
class FileSink : public PackageSink {
 public:
  explicit FileSink(const char* dir) : dir_(dir) {}
  unsigned count = 0;

  FILE* start() override {
    std::string path = dir_ + "/package-" + std::to_string(count++);
    return fopen(discard ? "/dev/null" : path.c_str(), "w");
  }
  bool discard = false;  // timing runs: the bytes go nowhere, as the limit's do
  bool finish(FILE* stream) override { return fclose(stream) == 0; }

 private:
  std::string dir_;
};

int receive(const char* dir) {
  InstallClient client;
  makeInstallClient(client);
  bool keep = false;
  if (client.interfaceCount == 0 || !acceptOffer(client, "bench", keep)) {
    fputs("net_peer: no interface or no offer\n", stderr);
    return 1;
  }
  FileSink sink(dir);
  sink.discard = getenv("NET_PEER_DISCARD") != nullptr;
  double start = nowSeconds();
  bool received = receiveInstallation(*client.receiver, sink, dir);
  double end = nowSeconds();
  waitForTerm(*client.server, client.link, false);
  printf("transfer %s %u %.6f %.6f\n", received ? "ok" : "failed", sink.count, start, end);
  freeInstallClient(client);
  return received ? 0 : 1;
}

int echo(const char* name) {
  NetInterface* iface = openInterface(name);
  if (!iface) return 1;
  uint8_t packet[kPacketSize];
  for (;;) {
    // Our own broadcasts come back too; only the full-size ones of the peer are answered, and
    // the answer is an own broadcast the echo sees again and skips.
    int length = iface->receive(packet, sizeof packet, -1);
    if (length == kFullDatagram) iface->send(packet, kHeaderSize);
  }
}

int ping(const char* name, double seconds) {
  NetInterface* iface = openInterface(name);
  if (!iface) return 1;
  uint8_t packet[kPacketSize] = {};
  long rounds = 0;
  double start = nowSeconds();
  double end = start;
  while (end - start < seconds) {
    if (iface->send(packet, kFullDatagram) != kFullDatagram) return 1;
    int length;
    do {
      length = iface->receive(packet, sizeof packet, 1000);
    } while (length == kFullDatagram);  // our own
    if (length != kHeaderSize) {
      fputs("net_peer: the echo did not answer\n", stderr);
      return 1;
    }
    ++rounds;
    end = nowSeconds();
  }
  printf("rounds %ld %.6f\n", rounds, end - start);
  return 0;
}

int runSwitch(char** argv) {
  LossySwitch link({argv[0], argv[1], argv[2]}, {argv[3], argv[4], argv[5]},
                   static_cast<unsigned>(atoi(argv[6])), static_cast<unsigned>(atoi(argv[7])),
                   static_cast<unsigned>(atoi(argv[8])));
  if (!link.running()) return 1;
  puts("switch running");
  fflush(stdout);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "receive" && argc == 3) return receive(argv[2]);
  if (mode == "echo" && argc == 3) return echo(argv[2]);
  if (mode == "ping" && argc == 4) return ping(argv[2], atof(argv[3]));
  if (mode == "switch" && argc == 11) return runSwitch(argv + 2);
  fputs(
      "usage: net_peer receive DIR | echo IFACE | ping IFACE SECONDS | switch NS DEV MAC NS DEV "
      "MAC LOSS SEED DELAY_US\n",
      stderr);
  return 2;
}
