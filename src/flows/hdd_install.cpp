// Hard-disk image installation: not built yet.
#include <stdio.h>

#include "base/context.h"
#include "flows/flows.h"

bool runHddInstall(InstallContext&) {
  puts("\nFATAL ERROR: hard disk installation is not available in this build");
  return false;
}
