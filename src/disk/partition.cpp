// Partitioning, formatting and mounting the target drive: the table goes to the medium's
// sfdisk in cylinder units, the file systems come from mke2fs, and mounting tries the layouts
// an old or new installation may have. The layout follows from the drive's two flags alone.
#include "disk/partition.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "base/platform.h"
#include "disk/disk_tools.h"
#include "disk/tool_runner.h"

const char* sfdiskProgram = "/sbin/sfdisk";
const char* mke2fsProgram = "/sbin/mke2fs";

namespace {

constexpr uint64_t kBootPartitionBytes = 10485760;  // "/boot" gets the cylinders of 10 MiB
constexpr int kDumpPieceSize = 256;                 // sfdisk -d is read 255 characters at a time
constexpr mode_t kDirectoryMode = 0755;

// "<device><number>", cut to kPartitionPathSize - 1 characters.
void partitionPath(const HardDrive& drive, int number, char* path) {
  snprintf(path, kPartitionPathSize, "%s%d", drive.device, number);
}

// The number of entries that "sfdisk -d" lists for the drive now, or -1 when the tool could
// not be started. Only lines that start with "/dev/" are entries; the tail of an overlong line
// is not a line of its own.
int countPartitionEntries(const HardDrive& drive) {
  FILE* dump = openToolOutput(sfdiskProgram, "-d", "-uC", drive.device, nullptr);
  if (!dump) return -1;
  int entries = 0;
  bool lineStart = true;
  char piece[kDumpPieceSize];
  while (fgets(piece, sizeof piece, dump)) {
    if (lineStart && strncmp(piece, "/dev/", 5) == 0) entries++;
    size_t length = strlen(piece);
    lineStart = length > 0 && piece[length - 1] == '\n';
  }
  (void)closeTool(dump);  // an unreadable table simply lists nothing
  return entries;
}

// The cylinders of the boot partition: whole cylinders holding 10 MiB, rounded up.
uint32_t bootCylinders(const HardDrive& drive) {
  return static_cast<uint32_t>((drive.cylinderBytes + kBootPartitionBytes - 1) /
                               drive.cylinderBytes);
}

bool mountAs(const char* device, const char* mountPoint, const char* type) {
  return platform().mount(device, mountPoint, type, 0, nullptr) == 0;
}

}  // namespace

bool partitionDrive(const HardDrive& drive) {
  // A record without a cylinder size, or one whose boot partition would not leave a root
  // partition, cannot be laid out; detection never yields one, but nothing is written for it.
  if (drive.cylinderBytes == 0) return false;
  uint32_t boot = bootCylinders(drive);
  if (drive.twoPartitions && boot >= drive.cylinders) return false;

  int oldEntries = countPartitionEntries(drive);
  if (oldEntries < 0) return false;
  FILE* table = openToolInput(sfdiskProgram, "-q", "-uC", drive.device, ">null", nullptr);
  if (!table) return false;
  int written;
  if (drive.twoPartitions) {
    fprintf(table, "0,%u,83,*\n", boot);
    fprintf(table, "%u,%u,83,-\n", boot, drive.cylinders - boot);
    written = 2;
  } else {
    fprintf(table, "0,%u,83,*\n", drive.cylinders);
    written = 1;
  }
  for (int entry = written; entry < oldEntries; entry++) fputs("0,0,0\n", table);
  // The tool writes the table when its input ends, and says by its status whether the table
  // was written and taken up by the kernel: formatting a disk without it would go on blindly.
  return closeTool(table) == 0;
}

bool formatDrive(const HardDrive& drive) {
  char path[kPartitionPathSize];
  partitionPath(drive, 1, path);
  int status;
  if (drive.journaled && !drive.twoPartitions) {
    status = runCommand(nullptr, mke2fsProgram, "-j", path, nullptr);
  } else {
    status = runCommand(nullptr, mke2fsProgram, path, nullptr);
  }
  if (status != 0) return false;
  if (!drive.twoPartitions) return true;

  partitionPath(drive, 2, path);
  if (drive.journaled) {
    status = runCommand(nullptr, mke2fsProgram, "-j", path, nullptr);
  } else {
    status = runCommand(nullptr, mke2fsProgram, path, nullptr);
  }
  return status == 0;
}

bool mountTarget(const HardDrive& drive, const char* mountPoint, bool withBoot) {
  char first[kPartitionPathSize];
  char second[kPartitionPathSize];
  partitionPath(drive, 1, first);
  partitionPath(drive, 2, second);

  // The order mounts a new disk of either layout and an old root of unknown kind alike.
  bool rootIsSecond;
  if (mountAs(second, mountPoint, "ext3")) {
    rootIsSecond = true;
  } else if (mountAs(first, mountPoint, "ext3")) {
    rootIsSecond = false;
  } else if (mountAs(second, mountPoint, "ext2")) {
    rootIsSecond = true;
  } else if (mountAs(first, mountPoint, "ext2")) {
    rootIsSecond = false;
  } else {
    return false;
  }
  if (!rootIsSecond || !withBoot) return true;

  char bootPath[kPartitionPathSize];
  snprintf(bootPath, sizeof bootPath, "%s/boot", mountPoint);
  (void)mkdir(bootPath, kDirectoryMode);  // an existing directory is as good
  if (mountAs(first, bootPath, "ext2")) return true;
  (void)platform().umount(mountPoint);
  return false;
}
