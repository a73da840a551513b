// Stand-in disk tools and drives for the disk tests.
#include "support/disk_stand_ins.h"
#include "base/child.h"

#include <stdio.h>
#include <string.h>

#include "base/signals.h"
#include "disk/disk_tools.h"

HardDrive makeDrive(const char* device, uint32_t cylinders, uint32_t cylinderBytes) {
  HardDrive drive;
  memset(&drive, 0, sizeof drive);
  snprintf(drive.device, sizeof drive.device, "%s", device);
  setGeometry(drive, cylinders, cylinderBytes);
  return drive;
}

void StandInTools::SetUp() {
  ASSERT_FALSE(scratch.path().empty());
  snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null");
  savedSfdisk_ = sfdiskProgram;
  savedMke2fs_ = mke2fsProgram;
  sfdiskProgram = sfdisk.c_str();
  mke2fsProgram = mke2fs.c_str();
}

void StandInTools::TearDown() {
  sfdiskProgram = savedSfdisk_;
  mke2fsProgram = savedMke2fs_;
}
