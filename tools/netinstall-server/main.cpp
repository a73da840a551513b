// netinstall-server: the installation server as a host program. It takes the packages and the
// router's settings from its command line (or asks them on a terminal), lets the operator pick
// the router from the installer's own scan list or takes the first to announce itself, and
// installs it with the installer's own server flow; its exit status says whether the router was
// installed. With --all or --routers it installs every router that announces itself, all at
// once, and says for each whether it was installed.
#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/signals.h"
#include "flows/config_script.h"
#include "flows/install_rollout.h"
#include "flows/install_server.h"
#include "netinstall/message_layout.h"
#include "packages/catalogue.h"
#include "tui/terminal.h"

namespace {

constexpr int kInstalled = 0;
constexpr int kNotInstalled = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: netinstall-server [--interface NAME] [--router MAC | --all | --routers N]\n"
    "                         [--keep-config |\n"
    "                         --address A.B.C.D/PREFIX [--gateway A.B.C.D] [--baud N]]\n"
    "                         [--timeout SECONDS] PACKAGE.qpk|DIRECTORY...\n"
    "It listens on every interface that is up, or on the one named (brought up if need be).\n"
    "On a terminal without --router the routers found are listed to choose from ('p', 'n' or\n"
    "the arrow keys, Enter; 'q' leaves); otherwise the first router found is installed.\n"
    "Without --keep-config or --address the settings are asked on the terminal; a setting left\n"
    "out (gateway, baud rate) is left out of the router's first-start script. --all installs\n"
    "every router that announces itself, at once, until interrupted or, with --timeout, until\n"
    "none came for that long; --routers N stops after N routers.\n";

struct Options {
  const char* interface = nullptr;
  MacAddress router = kNoMac;
  RouterSettings settings;  // keep, or what goes into the first-start script
  bool haveAddress = false;
  long timeoutSeconds = -1;  // without limit
  bool many = false;         // --all or --routers
  unsigned routerLimit = 0;  // --routers N; 0 without limit
  std::vector<std::string> inputs;
};

int usage(const char* complaint) {
  if (complaint) fprintf(stderr, "netinstall-server: %s\n", complaint);
  fputs(kUsageText, stderr);
  return kUsage;
}

bool parseNumber(const char* text, unsigned long low, unsigned long high, unsigned long& value) {
  char* end = nullptr;
  if (*text < '0' || *text > '9') return false;
  value = strtoul(text, &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

bool parseMac(const char* text, MacAddress& mac) {
  if (strlen(text) != 17) return false;
  for (int i = 0; i < 6; ++i) {
    const char* part = text + i * 3;
    if (!isxdigit(static_cast<unsigned char>(part[0])) ||
        !isxdigit(static_cast<unsigned char>(part[1])) || (i < 5 && part[2] != ':')) {
      return false;
    }
    char pair[3] = {part[0], part[1], '\0'};
    mac.bytes[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
  }
  return true;
}

bool parseAddress(const char* text, Options& options) {
  const char* slash = strchr(text, '/');
  if (!slash) return false;
  std::string host(text, static_cast<size_t>(slash - text));
  unsigned long prefix = 0;
  if (inet_pton(AF_INET, host.c_str(), &options.settings.address) != 1 ||
      !parseNumber(slash + 1, 1, 32, prefix)) {
    return false;
  }
  options.settings.prefix = static_cast<unsigned>(prefix);
  options.haveAddress = true;
  return true;
}

// Returns 0 when the options are usable, else the usage error's status (already reported).
int parseOptions(int argc, char** argv, Options& options) {
  bool scriptOptions = false;  // --gateway or --baud given
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--keep-config" || arg == "--all") {
      (arg == "--all" ? options.many : options.settings.keep) = true;
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      options.inputs.push_back(arg);
      continue;
    }
    if (i + 1 >= argc) return usage((arg + " needs a value").c_str());
    const char* value = argv[++i];
    unsigned long number = 0;
    bool good = true;
    if (arg == "--interface") {
      options.interface = value;
      good = *value != '\0' && strlen(value) < IFNAMSIZ;
    } else if (arg == "--router") {
      good = parseMac(value, options.router);
    } else if (arg == "--address") {
      good = parseAddress(value, options);
    } else if (arg == "--gateway") {
      good = inet_pton(AF_INET, value, &options.settings.gateway) == 1;
      scriptOptions = true;
    } else if (arg == "--baud") {
      good = parseNumber(value, 1, 4294967294ul, number);
      options.settings.baud = static_cast<unsigned>(number);
      scriptOptions = true;
    } else if (arg == "--routers") {
      good = parseNumber(value, 1, 65535, number);
      options.routerLimit = static_cast<unsigned>(number);
      options.many = true;
    } else if (arg == "--timeout") {
      good = parseNumber(value, 0, 2000000ul, number);
      options.timeoutSeconds = static_cast<long>(number);
    } else {
      return usage(("unknown option " + arg).c_str());
    }
    if (!good) return usage(("bad value for " + arg + ": " + value).c_str());
  }
  if (options.settings.keep && (options.haveAddress || scriptOptions)) {
    return usage("--keep-config takes no address, gateway or baud rate");
  }
  if (options.many && !isNoMac(options.router)) {
    return usage("--router takes one router, --all and --routers many");
  }
  if (options.many && !options.settings.keep && !options.haveAddress) {
    return usage("--all and --routers need --keep-config or --address");
  }
  if (scriptOptions && !options.haveAddress) return usage("--gateway and --baud need --address");
  if (options.inputs.empty()) return usage("no packages given");
  if (!options.settings.keep && !options.haveAddress && !isatty(STDIN_FILENO)) {
    return usage("without a terminal, give --keep-config or --address");
  }
  return 0;
}

// The package files named on the command line, directories opened to their *.qpk files.
bool listPackageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& files) {
  for (const std::string& input : inputs) {
    struct stat status;
    if (stat(input.c_str(), &status) != 0) {
      fprintf(stderr, "netinstall-server: %s: %s\n", input.c_str(), strerror(errno));
      return false;
    }
    if (!S_ISDIR(status.st_mode)) {
      // The sender names a file on the wire by what follows the path's last slash.
      files.push_back(input.find('/') == std::string::npos ? "./" + input : input);
      continue;
    }
    DIR* dir = opendir(input.c_str());
    if (!dir) {
      fprintf(stderr, "netinstall-server: %s: %s\n", input.c_str(), strerror(errno));
      return false;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      if (isPackageFileName(entry->d_name)) names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());  // readdir order would vary between hosts
    for (const std::string& name : names) files.push_back(input + "/" + name);
  }
  return true;
}

// Reads the packages and puts them into the catalogue's install order: the menu's order (by
// name, the front packages first) refined by the library's dependency sort. The records live
// until the program ends.
bool orderPackages(const std::vector<std::string>& files, std::list<PackageFile*>& ordered) {
  PackageMenu menu;
  for (const std::string& file : files) {
    SelectablePackage* package = new SelectablePackage;
    if (!package->readFrom(file)) {
      fprintf(stderr, "netinstall-server: %s: not a readable package\n", file.c_str());
      return false;
    }
    package->selected = true;
    menu.entries.push_back(package);
  }
  if (menu.entries.empty()) {
    fputs("netinstall-server: no packages found\n", stderr);
    return false;
  }
  putInDisplayOrder(menu);
  collectSelected(menu, ordered);
  return true;
}

// The sockets bind to a device and bring it up, which only root may do.
const char* rootHint() {
  return geteuid() == 0 ? "" : " (run it as root)";
}

// Opens only the interface `name` into the server, in place of the list of every interface.
bool openOneInterface(InstallServer& server, const char* name) {
  NetInterface* iface = openInterface(name, InterfaceUse::Share);
  if (!iface) return false;
  server.interfaces = new NetInterface*[1];
  server.interfaces[0] = iface;
  server.interfaceCount = 1;
  return true;
}

// Each router found gets one plain line; the installer's full-screen list is not drawn here.
bool addRouterAndSay(InstallServer& server, NetInterface& iface, const PacketBuffer& packet,
                     int length) {
  if (!addRouter(server, iface, iface.mac, packet, length)) return false;
  printf("found router %s (%s)\n", macToText(server.routers->mac), server.routers->label);
  return true;
}

// Listens on every interface until the wanted router (any, or `wanted`) has announced itself
// and selects it; false when the time ran out first or the wait failed.
bool awaitRouter(InstallServer& server, const MacAddress& wanted, long timeoutSeconds) {
  int64_t deadline =
      deadlineAfter(timeoutSeconds < 0 ? -1 : static_cast<int>(timeoutSeconds * 1000));
  std::vector<pollfd> waiting(server.interfaceCount);
  PacketBuffer packet;
  for (;;) {
    for (unsigned i = 0; i < server.interfaceCount; ++i) {
      waiting[i] = {server.interfaces[i]->socket, POLLIN, 0};
    }
    fflush(stdout);
    int left = msUntil(deadline);
    if (left == 0) return false;
    int ready = pollWithAbort(waiting.data(), waiting.size(), left);
    if (ready < 0) return false;
    for (unsigned i = 0; ready > 0 && i < server.interfaceCount; ++i) {
      if (!waiting[i].revents) continue;
      NetInterface& iface = *server.interfaces[i];
      int length = iface.receive(packet.bytes, kPacketSize, 0);
      if (length <= 0 || !addRouterAndSay(server, iface, packet, length)) continue;
      if (isNoMac(wanted)) return true;  // addRouter selected the first one
      if (sameMac(server.routers->mac, wanted)) {
        server.selected = server.routers;
        return true;
      }
    }
  }
}

// On a terminal the operator picks the router from the installer's own scan list.
bool chooseRouter(InstallServer& server) {
  TerminalState state;
  enterRawMode(state);
  bool chosen = scanForRouters(server);
  restoreTerminal(state);
  puts("");
  return chosen;
}

// Scripted: the router named, or the first one, within the time-out.
bool announceWait(InstallServer& server, const Options& options) {
  printf("waiting for a router on %u %s...\n", server.interfaceCount,
         server.interfaceCount == 1 ? "interface" : "interfaces");
  if (awaitRouter(server, options.router, options.timeoutSeconds)) return true;
  printf("no %s announced itself within %ld seconds\n",
         isNoMac(options.router) ? "router" : "router with that address", options.timeoutSeconds);
  return false;
}

// Without a terminal nobody presses the final key: the end handshake is ended from our side at
// once, as the operator's key would, instead of waiting on a router that waits on us.
class UnattendedPort : public DatagramPort {
 public:
  explicit UnattendedPort(DatagramPort& inner) : inner_(inner) {}
  int send(const uint8_t* bytes, int length) override { return inner_.send(bytes, length); }
  int receive(uint8_t* buffer, int capacity, int timeoutMs) override {
    return inner_.receive(buffer, capacity, timeoutMs);
  }
  int receiveOrKey(uint8_t*, int) override { return -2; }
  void discardKey() override {}

 private:
  DatagramPort& inner_;
};

bool install(InstallServer& server, const Options& options,
             const std::list<PackageFile*>& packages) {
  bool terminal = isatty(STDIN_FILENO);
  if (!options.settings.keep && !options.haveAddress) {
    TerminalState state;
    enterRawMode(state);
    bool installed = offerAndInstall(server, packages);
    restoreTerminal(state);
    return installed;
  }
  const RouterEntry& router = *server.selected;
  std::string script;
  if (!options.settings.keep) {
    script = buildConfigScript(router.mac, options.settings.address, options.settings.prefix,
                               options.settings.gateway, options.settings.baud);
  }
  std::vector<std::string> paths;
  for (const PackageFile* package : packages) paths.push_back(package->path);
  UnattendedPort unattended(*router.port);
  DatagramPort& port = terminal ? *router.port : unattended;
  RemoteOutcome outcome = installRouter(port, server.link, router.interfaceMac, router.mac,
                                        options.settings.keep, script, paths);
  return outcome == RemoteOutcome::Installed;
}

// Every router at once; one line per router at the end.
int installMany(InstallServer& server, const Options& options,
                const std::list<PackageFile*>& packages) {
  std::vector<std::string> paths;
  for (const PackageFile* package : packages) paths.push_back(package->path);
  std::vector<RolloutResult> results;
  bool waited = installAnnouncingRouters(server, options.settings, paths, options.routerLimit,
                                         options.timeoutSeconds, results);
  bool allInstalled = waited && !results.empty();
  for (const RolloutResult& result : results) {
    printf("router %s: %s\n", macToText(result.mac), result.installed ? "installed" : "failed");
    allInstalled = allInstalled && result.installed;
  }
  if (results.empty() || results.size() < options.routerLimit) {
    printf("no further router announced itself within %ld seconds\n", options.timeoutSeconds);
    allInstalled = false;
  }
  return allInstalled ? kInstalled : kNotInstalled;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = parseOptions(argc, argv, options)) return status;
  std::vector<std::string> files;
  std::list<PackageFile*> packages;
  if (!listPackageFiles(options.inputs, files) || !orderPackages(files, packages)) return kUsage;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  InstallServer server;
  if (options.interface) {
    errno = 0;
    if (!openOneInterface(server, options.interface)) {
      int error = errno;
      printf("interface %s cannot be used for the installation: %s%s\n", options.interface,
             error ? strerror(error) : "it has no Ethernet address", rootHint());
      return kNotInstalled;
    }
  } else {
    // This host's cards are shared with everything else on it: only those up are used.
    server.interfaces = listInterfaces(server.interfaceCount, InterfaceUse::Share);
  }
  if (server.interfaceCount == 0) {
    printf(
        "no Ethernet interface that is up can be used for the installation; name one with "
        "--interface%s\n",
        rootHint());
    freeInstallServer(server);
    return kNotInstalled;
  }
  if (options.many) {
    printf("waiting for routers on %u %s...\n", server.interfaceCount,
           server.interfaceCount == 1 ? "interface" : "interfaces");
    int status = installMany(server, options, packages);
    freeInstallServer(server);
    return status;
  }
  if (isatty(STDIN_FILENO) && isNoMac(options.router)) {
    if (!chooseRouter(server)) {
      puts("no router chosen");
      freeInstallServer(server);
      return kNotInstalled;
    }
  } else if (!announceWait(server, options)) {
    freeInstallServer(server);
    return kNotInstalled;
  }
  std::string mac = macToText(server.selected->mac);
  bool installed = install(server, options, packages);
  printf("router %s: %s\n", mac.c_str(), installed ? "installed" : "failed");
  freeInstallServer(server);
  return installed ? kInstalled : kNotInstalled;
}
