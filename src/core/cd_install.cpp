// CD-ROM installation: not built yet.
#include <stdio.h>

#include "core/context.h"
#include "core/flows.h"

bool runCdInstall(InstallContext&) {
  puts("\nFATAL ERROR: CD-ROM installation is not available in this build");
  return false;
}
