// Fuzzes the parser of the partitioning tool's geometry lines: any bytes, cut into lines the
// way detection reads them, must parse or be refused without reading or writing out of bounds.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "disk/drives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char line[kGeometryLineMax + 1];
  size_t position = 0;
  while (position < size) {
    size_t length = 0;
    while (position + length < size && length < static_cast<size_t>(kGeometryLineMax) &&
           data[position + length] != '\n') {
      length++;
    }
    memcpy(line, data + position, length);
    line[length] = '\0';
    position += length + 1;

    HardDrive drive;
    memset(&drive, 0, sizeof drive);
    if (parseGeometryLine(line, drive)) {
      // A recorded drive always has a terminated device of the listing and a cylinder size.
      if (strnlen(drive.device, sizeof drive.device) >= sizeof drive.device) __builtin_trap();
      if (strncmp(drive.device, "/dev/", 5) != 0) __builtin_trap();
      if (drive.cylinderBytes == 0) __builtin_trap();
      if (drive.twoPartitions != (drive.cylinders > kMaxOneLayoutCylinders)) __builtin_trap();
    }
  }
  return 0;
}
