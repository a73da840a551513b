// The medium's sfdisk without input and output: its calls and settings, the modern tool's
// geometry text, the old listing and dump formats, and cylinder table lines turned into the
// sector script that the modern tool writes.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

constexpr uint64_t kDiskSectorBytes = 512;
constexpr size_t kBootAreaBytes = 446;  // boot code and disk identifier, ahead of the table
constexpr int kPrimarySlots = 4;        // the old tool wrote and listed only these

enum class CallMode { listGeometry, dumpTable, writeTable };

struct Geometry {
  uint64_t heads = 0, sectors = 0, cylinders = 0;  // sectors per track
};

struct Extent {
  uint64_t first = 0, count = 0;  // in sectors; a count of 0 leaves the slot empty
};

// Whether `text` matches the extended regular expression; its groups then fill `groups`.
bool matches(const std::string& pattern, const std::string& text,
             std::vector<std::string>* groups = nullptr);
// -g [DEV...]; -d -uC DEV; -q -uC DEV. False for every other call.
bool parseCall(const std::vector<std::string>& args, CallMode& mode,
               std::vector<std::string>& disks);
// NAME=VALUE lines, the first of a name counting, '#' lines skipped; false for an unknown name.
bool parseSettings(const std::string& text, std::map<std::string, std::string>& settings,
                   std::string& error);
bool parseForcedGeometry(const std::string& text, Geometry& geometry);  // "16x63", ≤ 255x63
// Heads and sectors of the modern tool's "DEV: C cylinders, H heads, S sectors/track".
bool parseModernGeometry(const std::string& output, Geometry& geometry);
// Whole cylinders of whole sectors; the rest of the disk stays unused, as with the old tool.
uint64_t cylinderCount(uint64_t diskBytes, const Geometry& geometry);
// What a bare -g looks at: the configured disks (blank-separated), or else the modern tool's
// listing without virtual devices; never a CD or floppy drive.
std::vector<std::string> listedDisks(const std::string& configured, const std::string& listing);
std::string geometryLine(const std::string& disk, const Geometry& geometry);
std::string sortedLines(std::vector<std::string> lines);  // bytewise, as sort(1) gave them
std::string partitionName(const std::string& disk, int number);
// The old dump of sector 0's four entries; false when the sector bears no table signature.
bool formatDump(const std::string& disk, const unsigned char sector[kDiskSectorBytes],
                std::string& text);
// Table lines "start,size,type[,*|-]" in cylinders, into sectors and the modern tool's script;
// false with the message for a bad line or a partition that does not fit the disk.
bool planTable(const std::string& disk, const std::string& input, const Geometry& geometry,
               Extent extents[kPrimarySlots], std::string& script, std::string& error);
