// The installation server's scan for announcing routers and the remote installation of the one
// the operator picks. The scan owns the screen below its heading and redraws the whole list on
// every change; the installation itself runs over one DatagramPort, so it does not care whether
// that is a real interface.
#include "flows/install_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/signals.h"
#include "flows/config_script.h"
#include "libinstall.h"
#include "netinstall/file_transfer.h"
#include "tui/prompts.h"
#include "tui/terminal.h"

namespace {

constexpr int kListRow = 5;
constexpr uint32_t kSequenceSpace = 65535;
constexpr unsigned long kNumberOverflow = 4294967295ul;

// A number prompt that asks again until some digits parse; false when input has ended.
bool askNumber(const char* label, const char* defaultText, unsigned& value) {
  char text[10];
  for (;;) {
    if (!promptText(label, defaultText, text, sizeof text)) return false;
    char* end = nullptr;
    unsigned long number = strtoul(text, &end, 10);
    if (end != text && number < kNumberOverflow) {
      value = static_cast<unsigned>(number);
      return true;
    }
  }
}

uint32_t fileSize(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;  // it fails to open later, with its own line
  return status.st_size > 0xffffffffLL ? 0xffffffffu : static_cast<uint32_t>(status.st_size);
}

}  // namespace

// The sequence number is 16 bits and the router does not expect it to wrap: a selection that
// needs more messages than that is refused before the router is touched.
bool fitsOneInstallation(const std::vector<std::string>& paths, const std::string& script) {
  std::vector<uint32_t> sizes;
  for (const std::string& path : paths) sizes.push_back(fileSize(path));
  return sequencesNeeded(sizes.data(), static_cast<unsigned>(sizes.size()),
                         static_cast<uint32_t>(script.size())) <= kSequenceSpace;
}

void makeInstallServer(InstallServer& server) {
  server = InstallServer();
  server.interfaces = listInterfaces(server.interfaceCount);
}

void freeInstallServer(InstallServer& server) {
  freeInterfaces(server.interfaces, server.interfaceCount);
  server.interfaces = nullptr;
  server.interfaceCount = 0;
  while (RouterEntry* entry = server.routers) {
    server.routers = entry->next;
    delete entry;
  }
  server.selected = nullptr;
  server.routerCount = 0;
}

void drawRouterList(const InstallServer& server) {
  gotoXY(0, kListRow);
  if (server.routerCount >= 1) {
    printf("Found %d %s: \n\n", static_cast<int>(server.routerCount),
           server.routerCount == 1 ? "router" : "routers");
  }
  for (const RouterEntry* entry = server.routers; entry; entry = entry->next) {
    setAttributes(0);
    clearLine();
    if (entry == server.selected) setAttributes(AttrReverse);
    printf(" %s (%s)\n", macToText(entry->mac), entry->label);
  }
  setAttributes(0);
  clearLine();
}

void selectNextRouter(InstallServer& server) {
  if (!server.selected) return;
  if (server.selected->next) server.selected = server.selected->next;
  drawRouterList(server);
}

void selectPreviousRouter(InstallServer& server) {
  if (!server.selected || server.routerCount < 2) return;
  for (RouterEntry* entry = server.routers; entry; entry = entry->next) {
    if (entry->next == server.selected) {
      server.selected = entry;
      drawRouterList(server);
      return;
    }
  }
}

bool handleScanKey(InstallServer& server, int key) {
  if (key == kEscapeKey) {
    key = readKeyByte();
    if (key == '[') {
      key = readKeyByte();
      if (key == 'A' || key == 'B') {
        key == 'A' ? selectPreviousRouter(server) : selectNextRouter(server);
        return false;
      }
    }
  }
  switch (key) {
    case 'p':
    case 'P':
      selectPreviousRouter(server);
      return false;
    case 'n':
    case 'N':
      selectNextRouter(server);
      return false;
    case 'q':
    case 'Q':
    case EOF:  // a console that is gone cannot choose
      gotoXY(0, kScreenRows);
      server.selected = nullptr;
      return true;
    case '\n':
      return server.selected != nullptr;
    default:
      return false;
  }
}

bool addRouter(InstallServer& server, DatagramPort& port, const MacAddress& interfaceMac,
               const PacketBuffer& packet, int length) {
  char label[32];
  if (!isAnnouncement(server.link, interfaceMac, packet, length, label)) return false;
  MacAddress source = readHeader(packet).source;
  for (const RouterEntry* entry = server.routers; entry; entry = entry->next) {
    if (sameMac(entry->mac, source)) return false;  // it announces every second
  }
  RouterEntry* entry = new RouterEntry;
  entry->port = &port;
  entry->interfaceMac = interfaceMac;
  entry->mac = source;
  memcpy(entry->label, label, sizeof entry->label);
  entry->next = server.routers;
  server.routers = entry;
  if (!server.selected) server.selected = entry;
  server.routerCount++;
  return true;
}

bool scanForRouters(InstallServer& server) {
  unsigned count = server.interfaceCount;
  server.link.peerMac = kNoMac;
  clearScreen();
  printWrapped(
      "Select router using 'p' and 'n' or arrow keys. Press 'enter' to proceed or 'q' to return",
      false);
  printf("\nLooking for routers on %d %s...\n", static_cast<int>(count),
         count == 1 ? "interface" : "interfaces");
  drawRouterList(server);
  PacketBuffer packet;
  std::vector<pollfd> waiting(count + 1);
  for (;;) {
    waiting[0] = {STDIN_FILENO, POLLIN, 0};
    for (unsigned i = 0; i < count; ++i) waiting[i + 1] = {server.interfaces[i]->socket, POLLIN, 0};
    fflush(stdout);
    if (pollWithAbort(waiting.data(), waiting.size(), -1) < 0) return false;
    if (waiting[0].revents && handleScanKey(server, readKeyByte())) return server.selected;
    for (unsigned i = 0; i < count; ++i) {
      if (!waiting[i + 1].revents) continue;
      NetInterface& iface = *server.interfaces[i];
      int length = iface.receive(packet.bytes, kPacketSize, 0);
      if (length > 0 && addRouter(server, iface, iface.mac, packet, length)) {
        drawRouterList(server);
      }
    }
  }
}

RemoteOutcome installRouter(DatagramPort& port, LinkState& link, const MacAddress& interfaceMac,
                            const MacAddress& routerMac, bool keep, const std::string& script,
                            const std::vector<std::string>& paths) {
  if (!fitsOneInstallation(paths, script)) {
    puts("\nFATAL ERROR: Too many packages for one network installation (press any key)");
    return RemoteOutcome::FailedAskKey;
  }
  puts("\n\nSending offer...");
  switch (sendOffer(port, link, interfaceMac, routerMac, keep)) {
    case OfferOutcome::NoReply:
      puts("No response from router (press any key)");
      return RemoteOutcome::FailedAskKey;
    case OfferOutcome::Refused:
      puts("Bad response from router (press any key)");
      return RemoteOutcome::FailedAskKey;
    case OfferOutcome::Accepted:
      break;
  }
  puts("Formating and partitioning harddisk...");
  if (!awaitStart(port, link)) return RemoteOutcome::Failed;
  for (const std::string& path : paths) {
    FileSender sender;
    bool sent = openFileSender(sender, port, link, path.c_str(), true) && sendFile(sender);
    freeFileSender(sender);
    if (!sent) return RemoteOutcome::Failed;
    link.sendNumber++;
  }
  // Whatever becomes of the script, every package is on the router by now: the installation
  // stands, so a failed script transfer only leaves its line and the handshake still runs.
  FileSender sender;
  if (openFileSender(sender, port, link, script.c_str(), false)) (void)sendFile(sender);
  freeFileSender(sender);
  link.sendNumber++;
  puts("");
  puts("Software installed.");
  puts("Press ENTER to reboot");
  waitForTerm(port, link, true);
  return RemoteOutcome::Installed;
}

bool offerAndInstall(InstallServer& server, const std::list<PackageFile*>& packages) {
  const RouterEntry* router = server.selected;
  if (!router) return false;
  puts("\n");
  bool keep = promptYesNo("Keep config?");
  std::string script;
  if (!keep) {
    in_addr address = {promptAddress("Enter routers IP address", 0)};
    puts("");
    unsigned prefix = 0, baud = 0;
    if (!askNumber("Enter routers netmask bit count", "24", prefix)) return false;
    puts("");
    in_addr gateway = {promptAddress("Enter routers default gateway address", 0)};
    puts("");
    if (!askNumber("Enter serial console baud rate", "9600", baud)) return false;
    script = buildConfigScript(router->mac, address, prefix, gateway, baud);
  }
  std::vector<std::string> paths;
  for (const PackageFile* package : packages) paths.push_back(package->path);
  RemoteOutcome outcome = installRouter(*router->port, server.link, router->interfaceMac,
                                        router->mac, keep, script, paths);
  if (outcome == RemoteOutcome::FailedAskKey) (void)readKeyByte();
  return outcome == RemoteOutcome::Installed;
}
