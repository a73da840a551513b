// The record of one hard drive: its whole-disk device and the geometry that decides its layout.
#pragma once

#include <stdint.h>

constexpr int kDeviceFieldSize = 32;  // at most 31 characters and the terminator

struct HardDrive {
  char device[kDeviceFieldSize];
  uint32_t cylinders;
  uint32_t cylinderBytes;
  uint8_t twoPartitions;  // more than 1023 cylinders: boot and root partitions
  uint8_t journaled;      // more than 40 MiB: the root file system is ext3
};
