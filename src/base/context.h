// The install context: the one record that start-up owns and every install flow receives.
#pragma once

#include "base/floppy_header.h"
#include "base/hard_drive.h"

struct InstallContext {
  // Header of the floppy part read last; partCount starts at 1 so the first floppy is asked for.
  FloppySetHeader header;
  // The drive being installed, filled by drive detection.
  HardDrive targetDrive;
};

// Zeroes the header, sets its partCount to 1, and empties the target drive.
void initInstallContext(InstallContext& context);
