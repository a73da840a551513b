// Installing many routers at once: every router that announces itself gets its own session
// over the interface it announced on, and one loop drives all of them, so a slow router does
// not hold up the others.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "flows/install_server.h"

// The settings every router gets: the stored configuration kept, or a script of these.
struct RouterSettings {
  bool keep = false;
  in_addr address = {};
  unsigned prefix = 0;
  in_addr gateway = {};
  unsigned baud = 0;
};

struct RolloutResult {
  MacAddress mac = kNoMac;
  bool installed = false;
};

// Listens on the server's interfaces and installs each router that announces itself, each
// once, until `limit` routers (0: no limit) were taken and have ended, or no new router
// announced itself for `idleSeconds` (-1: never) and the ones taken have ended. Fills `results`
// in the order the routers announced themselves; false when the wait itself failed.
bool installAnnouncingRouters(InstallServer& server, const RouterSettings& settings,
                              const std::vector<std::string>& paths, unsigned limit,
                              long idleSeconds, std::vector<RolloutResult>& results);
