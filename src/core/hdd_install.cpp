// Hard-disk image installation: not built yet.
#include <stdio.h>

#include "core/context.h"
#include "core/flows.h"

bool runHddInstall(InstallContext&) {
  puts("\nFATAL ERROR: hard disk installation is not available in this build");
  return false;
}
