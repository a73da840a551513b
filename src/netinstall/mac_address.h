// An Ethernet hardware address as the install protocol carries it, and its one printed form.
#pragma once

#include <stdint.h>

struct MacAddress {
  uint8_t bytes[6];
};

inline constexpr MacAddress kNoMac = {{0, 0, 0, 0, 0, 0}};

bool sameMac(const MacAddress& a, const MacAddress& b);
// All zero: no address, and in a message header broadcast.
bool isNoMac(const MacAddress& mac);
// "%02X:%02X:%02X:%02X:%02X:%02X" in one process-wide buffer, valid until the next call.
const char* macToText(const MacAddress& mac);
