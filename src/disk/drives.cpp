// Drive detection: the geometry listing of the medium's sfdisk, parsed into the process-wide
// drive table, and the choice of its first entry as the target. Detection never writes to a
// disk; the boot code goes on only once the operator has agreed (target preparation).
#include "disk/drives.h"

#include <stdio.h>
#include <string.h>

#include "base/context.h"
#include "disk/disk_tools.h"
#include "disk/ticker.h"
#include "disk/tool_runner.h"

namespace {

constexpr uint32_t kBytesPerSector = 512;
constexpr size_t kDevicePrefixLength = 5;  // "/dev/"

struct DriveLabel {
  const char* device;
  const char* label;
};

constexpr DriveLabel kDriveLabels[] = {
    {"/dev/hda", "IDE Primary master (disk C)"},
    {"/dev/hdb", "IDE Primary slave (disk D)"},
    {"/dev/hdc", "IDE Secondary master (disk E)"},
    {"/dev/hdd", "IDE Secondary slave (disk F)"},
    {"/dev/sda", "SATA 1"},
    {"/dev/sdb", "SATA 2"},
    {"/dev/sdc", "SATA 3"},
    {"/dev/sdd", "SATA 4"},
};

// Refilled from its start by every detection; entries a detection does not fill are empty, so
// that no drive of an earlier listing lingers behind the new ones.
HardDrive driveTable[kMaxDrives];

// Reads one line of at most kGeometryLineMax characters into `line`; the rest of a longer
// line is dropped, so that its tail cannot pass for a drive line of its own. False at the end.
bool readCutLine(FILE* stream, char* line, size_t size) {
  if (!fgets(line, static_cast<int>(size), stream)) return false;
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] != '\n') {
    int c;
    do {
      c = fgetc(stream);
    } while (c != EOF && c != '\n');
  }
  return true;
}

}  // namespace

void setGeometry(HardDrive& drive, uint32_t cylinders, uint32_t cylinderBytes) {
  drive.cylinders = cylinders;
  drive.cylinderBytes = cylinderBytes;
  drive.twoPartitions = cylinders > kMaxOneLayoutCylinders ? 1 : 0;
  uint64_t diskBytes = static_cast<uint64_t>(cylinders) * cylinderBytes;
  drive.journaled = diskBytes > kJournalThresholdBytes ? 1 : 0;
}

const char* driveLabel(const char* device) {
  for (const DriveLabel& entry : kDriveLabels) {
    if (strcmp(entry.device, device) == 0) return entry.label;
  }
  return device;
}

bool parseGeometryLine(const char* line, HardDrive& drive) {
  if (strncmp(line, "/dev/", kDevicePrefixLength) != 0) return false;
  static_assert(kGeometryLineMax == 127, "the word width in the scan format below");
  char word[kGeometryLineMax + 1];
  unsigned cylinders = 0;
  unsigned heads = 0;
  unsigned sectors = 0;
  if (sscanf(line, "%127s %u %*s %u %*s %u", word, &cylinders, &heads, &sectors) != 4) {
    return false;
  }
  // A drive without heads or sectors has no cylinder size to lay partitions out by; one whose
  // cylinder size does not fit the record is no disk this system can be installed on either.
  uint64_t cylinderBytes = static_cast<uint64_t>(heads) * sectors * kBytesPerSector;
  if (cylinderBytes == 0 || cylinderBytes > UINT32_MAX) return false;
  size_t length = strlen(word);
  if (length > 0 && word[length - 1] == ':') word[--length] = '\0';
  if (length >= sizeof drive.device) length = sizeof drive.device - 1;
  memcpy(drive.device, word, length);
  drive.device[length] = '\0';
  setGeometry(drive, cylinders, static_cast<uint32_t>(cylinderBytes));
  return true;
}

HardDrive* findHardDrives() {
  memset(driveTable, 0, sizeof driveTable);
  FILE* listing = openToolOutput(sfdiskProgram, "-g", nullptr);
  if (!listing) return nullptr;
  int recorded = 0;
  char line[kGeometryLineMax + 1];
  while (recorded < kMaxDrives && readCutLine(listing, line, sizeof line)) {
    if (parseGeometryLine(line, driveTable[recorded])) recorded++;
  }
  (void)closeTool(listing);  // the listing is what counts, not how the tool ended
  return recorded > 0 ? driveTable : nullptr;
}

bool detectTargetDrive(InstallContext& context) {
  puts("");
  startProgress(context, "Looking for harddrives...");
  HardDrive* drives = findHardDrives();
  stopProgress(context);
  if (!drives) {
    puts("\nFATAL ERROR: no harddrives found");
    return false;
  }
  context.targetDrive = drives[0];
  puts("");
  printf("Found harddrive as %s\n", driveLabel(context.targetDrive.device));
  return true;
}
