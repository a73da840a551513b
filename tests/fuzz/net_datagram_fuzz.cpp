// Feeds arbitrary datagrams to everything that reads one from the network: acceptance on both
// roles' link states, the server's announcement test, the client's offer test and the FILE
// header. Each must refuse or take the datagram within its bounds, and what it takes must be
// what the protocol allows (a bare file name, a label of at most 31 characters).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "netinstall/file_transfer.h"

namespace {

const MacAddress kServer = {{0, 0x0c, 0x42, 1, 2, 1}}, kClient = {{0, 0x0c, 0x42, 1, 2, 0x0a}};

struct SilentPort : DatagramPort {
  int send(const uint8_t*, int length) override { return length; }
  int receive(uint8_t*, int, int) override { return -1; }
  int receiveOrKey(uint8_t*, int) override { return 0; }
  void discardKey() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kPacketSize) size = kPacketSize;
  int length = static_cast<int>(size);
  PacketBuffer packet;
  memset(packet.bytes, 'A', sizeof packet.bytes);  // stale bytes behind the datagram
  memcpy(packet.bytes, data, size);

  LinkState client{4, 2, kClient, kServer}, scan, offered, link{4, 1, kClient, kServer};
  bool bad =
      acceptMessage(client, packet, length) && length > kHeaderSize && client.lastReceived != 3;
  char label[32];
  bad |= isAnnouncement(scan, kServer, packet, length, label) && strlen(label) > 31;
  bool keep = false;
  bad |= takeOffer(offered, kClient, packet, length, keep) &&
         (!sameMac(offered.peerMac, readHeader(packet).source) || offered.sendNumber != 2);
  SilentPort port;
  FileReceiver receiver;
  makeFileReceiver(receiver, port, link);
  receiver.packet = packet;
  receiver.pending = length;
  if (length > 0 && receiveFileHeader(receiver)) {  // 0 would mean "nothing pending"
    const char* name = receiver.name;
    bad |= strchr(name, '/') || !*name || !strcmp(name, ".") || !strcmp(name, "..") ||
           strlen(name) > 79 || receiver.size < 0;
  }
  if (bad) __builtin_trap();
  return 0;
}
