// The first-start script that the installation server hands a router as "autorun.scr": the
// router's own commands that enable and address the interface we reached it on, set its
// default route and its serial console speed.
#pragma once

#include <netinet/in.h>

#include <string>

#include "netinstall/mac_address.h"

// The script for the router interface `mac`. A zero address or prefix leaves out the interface
// section, a zero gateway the route, a zero baud rate the console line; all zero gives "".
std::string buildConfigScript(const MacAddress& mac, in_addr address, unsigned prefix,
                              in_addr gateway, unsigned baud);
