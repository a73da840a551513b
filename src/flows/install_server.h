// The installation server: the scan for routers that announce themselves on any interface, the
// operator's choice among them, and the installation of the chosen router over the network
// (its settings, the offer, the package files, the first-start script, the end handshake).
#pragma once

#include <stdint.h>

#include <list>
#include <string>
#include <vector>

#include "base/datagram.h"
#include "netinstall/net_interface.h"
#include "netinstall/protocol.h"

class PackageFile;

// One announcing router; the list owns it.
struct RouterEntry {
  DatagramPort* port = nullptr;      // the interface it announced on (not owned)
  MacAddress interfaceMac = kNoMac;  // that interface's own address
  MacAddress mac = kNoMac;           // the router's address on this segment
  char label[32] = {};               // its disk label
  RouterEntry* next = nullptr;
};

// One remote installation: made fresh for each, so every one starts from a new interface list,
// an empty router list and a new link state.
struct InstallServer {
  NetInterface** interfaces = nullptr;  // owned
  unsigned interfaceCount = 0;
  LinkState link;
  RouterEntry* routers = nullptr;  // newest first
  RouterEntry* selected = nullptr;
  uint32_t routerCount = 0;
};

void makeInstallServer(InstallServer& server);
// Closes the interfaces and frees the router list.
void freeInstallServer(InstallServer& server);

// Lists announcing routers until the operator chooses one with Enter (true, the server's
// selected router) or leaves with "q" (false); a failing wait or the end of input is false too.
bool scanForRouters(InstallServer& server);
// Redraws the heading and the list from row 5, the selected router in reverse video.
void drawRouterList(const InstallServer& server);
void selectNextRouter(InstallServer& server);
void selectPreviousRouter(InstallServer& server);
// Handles one key byte (reading the rest of an arrow key); true when the scan is to end.
bool handleScanKey(InstallServer& server, int key);
// Lists the sender of a datagram received on `port` (own address `interfaceMac`) when it is an
// announcement from a router not listed yet; the first router found is selected. Draws
// nothing: the scan redraws its list when this returns true.
bool addRouter(InstallServer& server, DatagramPort& port, const MacAddress& interfaceMac,
               const PacketBuffer& packet, int length);

// Asks the router's settings, offers the installation to the selected router and sends it the
// packages (in install order) and its script. True when all packages went and the end
// handshake ran.
bool offerAndInstall(InstallServer& server, const std::list<PackageFile*>& packages);

// The sequence number is 16 bits and the router does not expect it to wrap: whether the
// packages and the script fit into one installation.
bool fitsOneInstallation(const std::vector<std::string>& paths, const std::string& script);

// What the offer and transfer leave the operator to do.
enum class RemoteOutcome { Installed, Failed, FailedAskKey };
// The exchange of offerAndInstall from the offer on, over any port: `link` as the scan left it,
// the router `routerMac` reached through `port` whose own address is `interfaceMac`.
RemoteOutcome installRouter(DatagramPort& port, LinkState& link, const MacAddress& interfaceMac,
                            const MacAddress& routerMac, bool keep, const std::string& script,
                            const std::vector<std::string>& paths);
