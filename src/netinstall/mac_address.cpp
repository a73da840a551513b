// Comparison and printing of hardware addresses.
#include "netinstall/mac_address.h"

#include <stdio.h>
#include <string.h>

bool sameMac(const MacAddress& a, const MacAddress& b) {
  return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool isNoMac(const MacAddress& mac) {
  return sameMac(mac, kNoMac);
}

const char* macToText(const MacAddress& mac) {
  static char text[18];
  const uint8_t* b = mac.bytes;
  snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  return text;
}
