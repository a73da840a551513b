// The boot-loader configuration and file-system table of the new root, and sector 0 of the
// drive with the installer's master boot code.
#pragma once

#include <stdint.h>

#include "base/hard_drive.h"

constexpr int kSectorSize = 512;
constexpr int kBootCodeSize = 184;          // bytes 0-183: code and its two messages
constexpr int kPartitionTableOffset = 446;  // four 16-byte entries, then the signature

bool writeLiloConf(const HardDrive& drive, const char* root);
bool writeFstab(const HardDrive& drive, const char* root);
bool readBootSector(const char* device, uint8_t* sector);
bool writeBootSector(const char* device, const uint8_t* sector);
// Puts the master boot code into sector 0, keeping the partition table and signature.
void installBootCode(const char* device);

// The master boot code (kBootCodeSize bytes).
extern const uint8_t masterBootCode[kBootCodeSize];
