// CD-ROM installation: not built yet.
#include <stdio.h>

#include "base/context.h"
#include "flows/flows.h"

bool runCdInstall(InstallContext&) {
  puts("\nFATAL ERROR: CD-ROM installation is not available in this build");
  return false;
}
