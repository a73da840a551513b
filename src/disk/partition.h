// Partitioning, formatting and mounting the target drive with the medium's sfdisk and mke2fs.
#pragma once

#include "disk/hard_drive.h"

constexpr int kPartitionPathSize = 80;

bool partitionDrive(const HardDrive& drive);
bool formatDrive(const HardDrive& drive);
bool mountTarget(const HardDrive& drive, const char* mountPoint, bool withBoot);
