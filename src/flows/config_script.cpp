// The first-start script of a remotely installed router. The interface is found on the router
// by its hardware address, because only that address is known here: the router may call the
// interface anything.
#include "flows/config_script.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>

namespace {

// Numbers are written as the router has always read them, signed. Every line fits easily: a MAC, a
// dotted address and a few numbers at most.
constexpr int kLineRoom = 256;

void appendFormatted(std::string& script, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void appendFormatted(std::string& script, const char* format, ...) {
  char line[kLineRoom];
  va_list values;
  va_start(values, format);
  int n = vsnprintf(line, sizeof line, format, values);
  va_end(values);
  if (n > 0)
    script.append(line, static_cast<size_t>(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

}  // namespace

std::string buildConfigScript(const MacAddress& mac, in_addr address, unsigned prefix,
                              in_addr gateway, unsigned baud) {
  std::string script;
  if (address.s_addr != 0 && prefix != 0) {
    appendFormatted(script,
                    ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
                    "mac-address=%s] name]\n/interface enable $eth\n",
                    macToText(mac));
    // inet_ntoa shares one buffer, so each address is formatted on its own.
    appendFormatted(script, "/ip address add address=%s/%d interface=$eth\n", inet_ntoa(address),
                    static_cast<int>(prefix));
  }
  if (gateway.s_addr != 0)
    appendFormatted(script, "/ip route add gateway=%s\n", inet_ntoa(gateway));
  if (baud != 0)
    appendFormatted(script, "/port set [/port find] baud-rate=%d\n", static_cast<int>(baud));
  return script;
}
