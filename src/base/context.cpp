// Default state of the install context.
#include "base/context.h"

#include <string.h>

void initInstallContext(InstallContext& context) {
  memset(context.header.bytes, 0, sizeof context.header.bytes);
  setHeaderPartCount(context.header, 1);
  memset(context.targetDrive.device, 0, sizeof context.targetDrive.device);
  context.targetDrive.cylinders = 0;
  context.targetDrive.twoPartitions = 0;
  context.targetDrive.journaled = 0;
}
