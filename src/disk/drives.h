// Finding the hard drives through the partitioning tool's geometry listing, and choosing the
// first one as the installation target.
#pragma once

#include <stdint.h>

#include "base/hard_drive.h"

struct InstallContext;

constexpr int kMaxDrives = 4;
constexpr uint64_t kJournalThresholdBytes = 41943040;  // larger disks get ext3
constexpr uint32_t kMaxOneLayoutCylinders = 1023;      // more get a separate boot partition
constexpr int kGeometryLineMax = 127;                  // longer lines are cut

// Fills the process-wide table of kMaxDrives drives; returns it when at least one drive was
// recorded, otherwise null.
HardDrive* findHardDrives();
void setGeometry(HardDrive& drive, uint32_t cylinders, uint32_t cylinderBytes);
const char* driveLabel(const char* device);
// Parses one line of "sfdisk -g" output (NUL-terminated, at most kGeometryLineMax characters)
// into `drive`: device without its trailing colon, geometry and flags. False, with `drive`
// untouched, for a line that does not name a usable drive (zero heads or sectors included).
bool parseGeometryLine(const char* line, HardDrive& drive);
// Finds the drives, announces the first and records it in context.targetDrive. Only reads.
bool detectTargetDrive(InstallContext& context);
