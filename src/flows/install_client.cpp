// The network installation client. The router has no packages of its own: the server decides
// what is installed, and everything after the offer is received straight onto the new disk,
// package by package through an installer child, the configuration script last.
#include "flows/install_client.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "base/context.h"
#include "base/platform.h"
#include "base/signals.h"
#include "disk/drives.h"
#include "disk/target.h"
#include "flows/dialogue.h"
#include "flows/flows.h"
#include "stream/package_stream.h"

namespace {

constexpr int kCyclesPerRebuild = 60;  // a cable plugged in later, or a card brought up late
constexpr int kScriptPathSize = 80;
constexpr int kFileNameSize = 32;

class InstallerSink : public PackageSink {
 public:
  FILE* start() override { return startPackageInstaller(); }
  bool finish(FILE* stream) override { return closePackageInstaller(stream); }
};

// A short name cannot be a script: ".scr" alone names a package.
bool isScript(const char* name) {
  size_t length = strlen(name);
  return length > 4 && strcmp(name + length - 4, ".scr") == 0;
}

// Copies the current file into the script or the package stream. False after the failure's
// line; the destination is closed then.
bool copyFile(FileReceiver& receiver, PackageSink& sink, FILE* script, FILE* package) {
  uint8_t buffer[kCopyPieceSize];
  for (;;) {
    int n = readFileData(receiver, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (script) {
        fclose(script);
      } else {
        (void)sink.finish(package);
      }
      puts("\nFATAL ERROR: bad network connection");
      return false;
    }
    if (script) {
      if (fwrite(buffer, static_cast<size_t>(n), 1, script) != 1) {
        printf("\nFATAL ERROR: installation failed: %s\n", strerror(errno));
        fclose(script);
        return false;
      }
    } else if (!writePackageBytes(package, buffer, static_cast<size_t>(n))) {
      puts("");  // the installer child has said why
      (void)sink.finish(package);
      return false;
    }
  }
}

void rebuildInterfaces(InstallClient& client) {
  freeInterfaces(client.interfaces, client.interfaceCount);
  client.interfaces = listInterfaces(client.interfaceCount);
}

// One announcement cycle: DSCV everywhere, a second for the answers, then every interface's
// waiting datagrams. -1 when a send failed, 1 with client.server set on an offer, else 0.
int discoveryCycle(InstallClient& client, const char* label, bool& keep) {
  for (unsigned i = 0; i < client.interfaceCount; ++i) {
    NetInterface& iface = *client.interfaces[i];
    if (!announce(iface, client.link, iface.mac, label)) return -1;
  }
  platform().sleepMs(1000);
  PacketBuffer packet;
  for (unsigned i = 0; i < client.interfaceCount; ++i) {
    NetInterface& iface = *client.interfaces[i];
    if (pollOffer(iface, client.link, iface.mac, packet, keep)) {
      client.server = &iface;
      return 1;
    }
  }
  return 0;
}

}  // namespace

void makeInstallClient(InstallClient& client) {
  client.link = LinkState();
  client.receiver = nullptr;
  client.server = nullptr;
  client.interfaces = listInterfaces(client.interfaceCount);
}

void freeInstallClient(InstallClient& client) {
  delete client.receiver;
  client.receiver = nullptr;
  freeInterfaces(client.interfaces, client.interfaceCount);
  client.interfaces = nullptr;
  client.interfaceCount = 0;
  client.server = nullptr;
}

void readDiskLabelFrom(const char* path, char* label, int size) {
  label[0] = '\0';
  if (platform().mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) == 0) {
    FILE* file = fopen(path, "r");
    if (file) {
      if (!fgets(label, size, file)) label[0] = '\0';
      fclose(file);
    }
    (void)platform().umount("/floppy");
    // The label travels as one line of DSCV and is shown beside the MAC address.
    char* kept = label;
    for (const char* c = label; *c; ++c) {
      unsigned char byte = static_cast<unsigned char>(*c);
      if (isalnum(byte) || ispunct(byte)) *kept++ = *c;
    }
    *kept = '\0';
  }
  if (label[0] == '\0') {
    strncpy(label, "trenavox", static_cast<size_t>(size - 1));
    label[size - 1] = '\0';
  }
}

void readDiskLabel(char* label, int size) {
  readDiskLabelFrom("/floppy/label.txt", label, size);
}

bool acceptOffer(InstallClient& client, const char* label, bool& keep) {
  if (client.interfaceCount == 0) return false;
  for (int cycle = 1;; ++cycle) {
    int found = discoveryCycle(client, label, keep);
    if (found < 0) return false;
    // Without the acknowledgement of YACK the discovery starts afresh.
    if (found > 0 && acceptOffer(*client.server, client.link)) break;
    if (cycle % kCyclesPerRebuild == 0) {
      client.server = nullptr;
      rebuildInterfaces(client);
    }
  }
  client.receiver = new FileReceiver;
  makeFileReceiver(*client.receiver, *client.server, client.link);
  return true;
}

bool receiveInstallation(FileReceiver& receiver, PackageSink& sink, const char* root) {
  puts("");
  if (!sendStartFor(receiver)) {
    puts("\nFATAL ERROR: server refused to install");
    return false;
  }
  // No FILE for 30 s, or a file of size 0, ends the list: what came so far is installed.
  while (takeNextFile(receiver) && receiver.size != 0) {
    char name[kFileNameSize];  // names of up to 31 characters; a longer one is cut
    snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof name - 1), receiver.name);
    FILE* script = nullptr;
    FILE* package = nullptr;
    if (isScript(name)) {
      puts("Writing configuration...");
      char path[kScriptPathSize];
      snprintf(path, sizeof path, "%s/%s", root, name);
      script = fopen(path, "w");
      if (!script) {
        puts("\nFATAL ERROR: couldn't make script");
        return false;
      }
    } else {
      package = sink.start();
      if (!package) {
        puts("\nFATAL ERROR: couldn't start install");
        return false;
      }
    }
    if (!copyFile(receiver, sink, script, package)) return false;
    if (script) {
      fclose(script);
      return true;  // the script comes last
    }
    // The library reports a refused package only through the child's status.
    if (!sink.finish(package)) {
      puts("\nFATAL ERROR: Installation error");
      return false;
    }
  }
  return true;
}

bool runInstallClient(InstallContext& context) {
  showBanner(context, "remote installation");
  InstallClient client;
  makeInstallClient(client);
  if (client.interfaceCount == 0) {
    puts("\nFATAL ERROR: no network card found");
    freeInstallClient(client);
    return false;
  }
  if (!detectTargetDrive(context)) {
    freeInstallClient(client);
    return false;
  }
  bool keep = false;
  char label[kDiskLabelSize];
  readDiskLabel(label, sizeof label);
  puts("");
  for (unsigned i = 0; i < client.interfaceCount; ++i) {
    printf("mac-address: %s\n", interfaceMacText(client.interfaces, client.interfaceCount, i));
  }
  printf("disk label: %s\n", label);
  puts("");
  for (;;) {
    puts("");
    puts("Waiting for installation server...");
    fflush(stdout);
    if (acceptOffer(client, label, keep)) break;
    puts("");
    puts("Couldn't find any installation server on network");
  }
  printf("Found server at %s\n", macToText(client.link.peerMac));
  puts("");
  InstallerSink installer;
  if (!prepareTarget(context, keep) || !receiveInstallation(*client.receiver, installer, "/mnt")) {
    freeInstallClient(client);
    return false;
  }
  // The same marker as a CD-ROM installation: the new system's first start looks for it.
  int marker = open("/mnt/CDINSTALL", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (marker >= 0) close(marker);
  postInstall(context);
  abortDisabled = 1;
  puts("");
  puts("Software installed.");
  puts("Press ENTER to reboot");
  fflush(stdout);
  waitForTerm(*client.server, client.link, false);
  freeInstallClient(client);
  return true;
}
