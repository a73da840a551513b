// The machine's Ethernet interfaces as the install protocol uses them: each brought up and
// given a broadcast UDP socket bound to its device and the install port. An interface is itself
// the datagram port that the protocol sends and receives through.
#pragma once

#include <netinet/in.h>

#include "base/datagram.h"
#include "netinstall/mac_address.h"

struct NetInterface : DatagramPort {
  MacAddress mac = kNoMac;
  int socket = -1;
  sockaddr_in destination = {};  // 255.255.255.255, the install port
  sockaddr_in lastSender = {};   // filled by every receive; only its port is looked at

  int send(const uint8_t* bytes, int length) override;
  // A datagram from another source port counts as a failure (-1).
  int receive(uint8_t* buffer, int capacity, int timeoutMs) override;
  int receiveOrKey(uint8_t* buffer, int capacity) override;
  void discardKey() override;
};

// The installer owns its machine and takes every card over: brought up, promiscuous. A server
// on someone's host shares the cards: it uses those that are up and leaves their flags alone.
enum class InterfaceUse { TakeOver, Share };

// Builds the list of usable interfaces in the order of /proc/net/dev and stores their number in
// `count`; shared, a card that is down is passed over. Null (count 0) when the kernel's list or
// the hardware-address query is unavailable. The caller frees the list with freeInterfaces.
NetInterface** listInterfaces(unsigned& count, InterfaceUse use = InterfaceUse::TakeOver);
void freeInterfaces(NetInterface** list, unsigned count);
// The one interface `name`, opened as listInterfaces opens each (shared, it is brought up if it
// is down, since it was asked for); null when it has no Ethernet address or cannot be opened.
// Freed with closeInterface and delete.
NetInterface* openInterface(const char* name, InterfaceUse use = InterfaceUse::TakeOver);
// Opens the interface's socket on device `name` and brings the device up (taken over, also
// promiscuous); false on any failure.
bool openInterfaceSocket(NetInterface& iface, const char* name, uint16_t port,
                         InterfaceUse use = InterfaceUse::TakeOver);
void closeInterface(NetInterface& iface);
// The interface name of one /proc/net/dev line (the first word up to its colon) into `name`
// (16 bytes); false for a line without one.
bool interfaceNameOf(const char* line, char* name);
// macToText of interface `index`, or null when index is not below count.
const char* interfaceMacText(NetInterface** list, unsigned count, unsigned index);
