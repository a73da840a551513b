// Interface enumeration and the UDP sockets of the install protocol. Waits go through
// pollWithAbort, so an interrupt aborts the installation while it waits on the network.
#include "netinstall/net_interface.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/signals.h"
#include "netinstall/message_layout.h"

namespace {

void nameRequest(ifreq& request, const char* name) {
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, name, strnlen(name, IFNAMSIZ - 1));
}

int receiveFrom(NetInterface& iface, uint8_t* buffer, int capacity) {
  socklen_t size = sizeof iface.lastSender;
  ssize_t n = recvfrom(iface.socket, buffer, static_cast<size_t>(capacity), 0,
                       reinterpret_cast<sockaddr*>(&iface.lastSender), &size);
  if (n < 0 || iface.lastSender.sin_port != htons(installPort)) return -1;
  return static_cast<int>(n);
}

// Every broadcast we send comes back to our own socket; dropping those copies in the kernel
// saves a wake-up and a read per message sent. The protocol's own checks still skip them where
// a kernel lacks the filter, so a refusal is no failure.
void dropOwnBroadcasts(int socket) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_LOOPBACK, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0),
      BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
  };
  sock_fprog program = {sizeof code / sizeof code[0], code};
  (void)setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

bool readHardwareAddress(int query, const char* name, MacAddress& mac) {
  ifreq request;
  nameRequest(request, name);
  if (ioctl(query, SIOCGIFHWADDR, &request) != 0) return false;
  memcpy(mac.bytes, request.ifr_hwaddr.sa_data, sizeof mac.bytes);
  return true;
}

// The interface with its socket open, or null for one without an Ethernet address (loopback)
// or whose socket cannot be opened.
NetInterface* openWithAddress(const char* name, const MacAddress& mac, InterfaceUse use) {
  NetInterface* iface = new NetInterface;
  iface->mac = mac;
  if (!isNoMac(mac) && openInterfaceSocket(*iface, name, installPort, use)) return iface;
  closeInterface(*iface);
  delete iface;
  return nullptr;
}

bool isUp(int query, const char* name) {
  ifreq request;
  nameRequest(request, name);
  return ioctl(query, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP);
}

}  // namespace

int NetInterface::send(const uint8_t* bytes, int length) {
  ssize_t n = sendto(socket, bytes, static_cast<size_t>(length), 0,
                     reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  return n < 0 ? -1 : static_cast<int>(n);
}

int NetInterface::receive(uint8_t* buffer, int capacity, int timeoutMs) {
  pollfd waiting = {socket, POLLIN, 0};
  if (pollWithAbort(&waiting, 1, timeoutMs) <= 0) return -1;
  return receiveFrom(*this, buffer, capacity);
}

int NetInterface::receiveOrKey(uint8_t* buffer, int capacity) {
  pollfd waiting[2] = {{socket, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  int ready = pollWithAbort(waiting, 2, -1);
  if (ready < 0) return errno == EINTR ? -1 : 0;
  if (waiting[1].revents) return -2;
  if (!waiting[0].revents) return -1;
  return receiveFrom(*this, buffer, capacity);
}

void NetInterface::discardKey() {
  char key;
  (void)read(STDIN_FILENO, &key, 1);  // the key only ends the wait; its value does not matter
}

bool openInterfaceSocket(NetInterface& iface, const char* name, uint16_t port, InterfaceUse use) {
  iface.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (iface.socket < 0) return false;
  int on = 1;
  if (setsockopt(iface.socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  if (setsockopt(iface.socket, SOL_SOCKET, SO_BINDTODEVICE, name,
                 static_cast<socklen_t>(strlen(name) + 1)) != 0) {
    return false;
  }
  ifreq request;
  nameRequest(request, name);
  if (ioctl(iface.socket, SIOCGIFFLAGS, &request) != 0) return false;
  short wanted = IFF_UP | IFF_RUNNING | (use == InterfaceUse::TakeOver ? IFF_PROMISC : 0);
  short flags = static_cast<short>(request.ifr_flags | wanted);
  if (flags != request.ifr_flags) {
    nameRequest(request, name);
    request.ifr_flags = flags;
    if (ioctl(iface.socket, SIOCSIFFLAGS, &request) != 0) return false;
  }
  // A device without an IPv4 address sends no broadcast; 0.0.0.0 is enough, and is only given
  // to a device that has none.
  nameRequest(request, name);
  if (ioctl(iface.socket, SIOCGIFADDR, &request) != 0) {
    nameRequest(request, name);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    memcpy(&request.ifr_addr, &any, sizeof any);
    if (ioctl(iface.socket, SIOCSIFADDR, &request) != 0) return false;
  }
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(iface.socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  dropOwnBroadcasts(iface.socket);
  iface.destination = {};
  iface.destination.sin_family = AF_INET;
  iface.destination.sin_port = htons(port);
  iface.destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return true;
}

void closeInterface(NetInterface& iface) {
  if (iface.socket >= 0) close(iface.socket);
  iface.socket = -1;
}

bool interfaceNameOf(const char* line, char* name) {
  while (*line == ' ' || *line == '\t') line++;
  size_t word = strcspn(line, " \t\n");
  const char* colon = static_cast<const char*>(memchr(line, ':', word));
  if (!colon || colon == line) return false;
  size_t length = static_cast<size_t>(colon - line);
  if (length > IFNAMSIZ - 1) length = IFNAMSIZ - 1;
  memcpy(name, line, length);
  name[length] = '\0';
  return true;
}

NetInterface* openInterface(const char* name, InterfaceUse use) {
  int query = socket(AF_INET, SOCK_RAW, 250);
  if (query < 0) return nullptr;
  MacAddress mac;
  bool known = readHardwareAddress(query, name, mac);
  close(query);
  return known ? openWithAddress(name, mac, use) : nullptr;
}

NetInterface** listInterfaces(unsigned& count, InterfaceUse use) {
  count = 0;
  FILE* file = fopen("/proc/net/dev", "r");
  if (!file) return nullptr;
  char line[256];
  unsigned lines = 0;
  while (fgets(line, sizeof line, file)) lines++;
  NetInterface** list = new NetInterface*[lines > 2 ? lines - 2 : 1];
  int query = socket(AF_INET, SOCK_RAW, 250);
  if (query < 0) {
    fclose(file);
    delete[] list;
    return nullptr;
  }
  rewind(file);
  for (int skip = 0; skip < 2 && fgets(line, sizeof line, file); ++skip) {
  }
  unsigned used = 0;
  bool failed = false;
  while (!failed && fgets(line, sizeof line, file)) {
    char name[IFNAMSIZ];
    if (!interfaceNameOf(line, name)) continue;
    MacAddress mac;
    if (!readHardwareAddress(query, name, mac)) {
      failed = true;
      break;
    }
    if (use == InterfaceUse::Share && !isUp(query, name)) continue;
    if (NetInterface* iface = openWithAddress(name, mac, use)) list[used++] = iface;
  }
  close(query);
  fclose(file);
  if (failed) {
    freeInterfaces(list, used);
    return nullptr;
  }
  count = used;
  return list;
}

void freeInterfaces(NetInterface** list, unsigned count) {
  if (!list) return;
  for (unsigned i = 0; i < count; ++i) {
    closeInterface(*list[i]);
    delete list[i];
  }
  delete[] list;
}

const char* interfaceMacText(NetInterface** list, unsigned count, unsigned index) {
  return index < count ? macToText(list[index]->mac) : nullptr;
}
