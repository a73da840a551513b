// Fuzzes what the medium's sfdisk parses: the table lines on its input, its settings file and
// the modern tool's texts. Any bytes must parse or be refused, and an accepted table must lie
// within the disk with the first track left to the master boot record.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "sfdisk_compat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::map<std::string, std::string> settings;
  std::string script, error;
  Geometry geometry;
  (void)parseSettings(text, settings, error);
  (void)listedDisks(size % 2 ? text : "", text);
  if (parseForcedGeometry(text, geometry) && (geometry.heads > 255 || geometry.sectors > 63)) {
    __builtin_trap();
  }
  if (parseModernGeometry(text, geometry) && (geometry.heads == 0 || geometry.sectors == 0)) {
    __builtin_trap();
  }
  if (size >= kDiskSectorBytes) (void)formatDump("/dev/hda", data, script);

  Geometry disk;
  disk.heads = 1 + size % 255;
  disk.sectors = 1 + size % 63;
  disk.cylinders = size * 7;
  Extent extents[kPrimarySlots];
  if (planTable("/dev/hda", text, disk, extents, script, error)) {
    for (const Extent& extent : extents) {
      if (extent.count == 0) continue;
      if (extent.first < disk.sectors) __builtin_trap();
      if (extent.first + extent.count > disk.cylinders * disk.heads * disk.sectors) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
