// Network installation client: not built yet.
#include <stdio.h>

#include "base/context.h"
#include "flows/flows.h"

bool runInstallClient(InstallContext&) {
  puts("\nFATAL ERROR: remote installation is not available in this build");
  return false;
}
