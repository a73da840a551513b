// Partitioning, formatting and mounting the target drive with the medium's sfdisk and mke2fs.
#pragma once

#include "base/hard_drive.h"

constexpr int kPartitionPathSize = 80;

// Writes the one- or two-partition table for the drive's flags, emptying any further entries
// the old table had. True only when the tool took the whole table (exit status 0).
bool partitionDrive(const HardDrive& drive);
// Makes the file systems: ext3 where the drive is journaled, ext2 otherwise and for "/boot".
bool formatDrive(const HardDrive& drive);
// Mounts the root (and, withBoot, "/boot" beneath it) in the order that finds either layout.
bool mountTarget(const HardDrive& drive, const char* mountPoint, bool withBoot);
