// Floppy installation: not built yet.
#include <stdio.h>

#include "core/context.h"
#include "core/flows.h"

bool runFloppyInstall(InstallContext&) {
  puts("\nFATAL ERROR: floppy installation is not available in this build");
  return false;
}
