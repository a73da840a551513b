// The network installation client: the router booted from the network medium announces itself,
// takes the first offer, prepares its disk and receives the packages and its configuration
// script from the installation server.
#pragma once

#include <stdio.h>

#include "netinstall/file_transfer.h"
#include "netinstall/net_interface.h"

struct InstallContext;

constexpr int kDiskLabelSize = 32;  // the label travels in DSCV: at most 31 characters

struct InstallClient {
  NetInterface** interfaces = nullptr;  // owned, with every interface
  unsigned interfaceCount = 0;
  NetInterface* server = nullptr;  // the interface the offer came on (not owned)
  LinkState link;
  FileReceiver* receiver = nullptr;  // owned, made when an offer is accepted
};

// Builds the interface list; the client may have none.
void makeInstallClient(InstallClient& client);
void freeInstallClient(InstallClient& client);

// The label from the first line of the client floppy's "/floppy/label.txt", without blanks or
// control bytes; "trenavox" when there is no floppy, no file or nothing left.
void readDiskLabel(char* label, int size);
// readDiskLabel with the label file at `path` on the mounted floppy.
void readDiskLabelFrom(const char* path, char* label, int size);
// Announces on every interface until a server's offer comes and acknowledges its YACK; `keep`
// then says whether the server wants the old configuration kept. False when an announcement
// could not be sent.
bool acceptOffer(InstallClient& client, const char* label, bool& keep);

// Where received packages go: one stream per package, closed with the installer's verdict.
class PackageSink {
 public:
  virtual ~PackageSink() = default;
  // A stream for the next package, or null when none can be started.
  virtual FILE* start() = 0;
  // Closes the stream; true when the package was installed.
  virtual bool finish(FILE* stream) = 0;
};

// The disk is ready: STRT, then every file until the list ends, each package into its own
// stream of `sink`, the configuration script into `root`. True when the list ended; false after
// the failure's FATAL ERROR line.
bool receiveInstallation(FileReceiver& receiver, PackageSink& sink, const char* root);
