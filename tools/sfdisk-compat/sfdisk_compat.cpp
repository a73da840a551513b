// The medium's sfdisk without input and output: parsing, the old formats and the arithmetic.
#include "sfdisk_compat.h"

#include <inttypes.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace {

constexpr size_t kMaxDigits = 12;  // sizes and cylinder numbers stay far from overflow
constexpr size_t kMaxGroups = 5;
constexpr uint64_t kMaxForcedHeads = 255, kMaxForcedTrackSectors = 63;
constexpr size_t kEntryBytes = 16, kSignatureOffset = 510, kDumpEntryMax = 80;
constexpr unsigned char kBootable = 0x80;
const char* const kSettingNames[] = {"SFDISK_COMPAT_REAL", "SFDISK_COMPAT_DEVICES",
                                     "SFDISK_COMPAT_GEOMETRY"};

// Digits as a number, unless more than kMaxDigits of them follow the leading zeros.
bool toNumber(const std::string& digits, uint64_t& value) {
  value = strtoull(digits.c_str(), nullptr, 10);
  return digits.size() - std::min(digits.find_first_not_of('0'), digits.size()) <= kMaxDigits;
}

// The lines of `text`; a last one without its newline counts too.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    result.push_back(text.substr(start, end - start));
  }
  return result;
}

bool refuse(std::string& error, const std::string& message) {
  error = message;
  return false;
}

}  // namespace

bool matches(const std::string& pattern, const std::string& text,
             std::vector<std::string>* groups) {
  regex_t expression;
  regmatch_t found[kMaxGroups];
  if (text.find('\0') != std::string::npos ||
      regcomp(&expression, pattern.c_str(), REG_EXTENDED) != 0) {
    return false;
  }
  bool matched = regexec(&expression, text.c_str(), kMaxGroups, found, 0) == 0;
  regfree(&expression);
  for (size_t i = 1; matched && groups && i < kMaxGroups; i++) {
    if (i == 1) groups->clear();
    regmatch_t at = found[i];
    groups->push_back(at.rm_so < 0 ? "" : text.substr(at.rm_so, at.rm_eo - at.rm_so));
  }
  return matched;
}

bool parseCall(const std::vector<std::string>& args, CallMode& mode,
               std::vector<std::string>& disks) {
  bool geometry = false, dump = false, quiet = false, cylinderUnits = false;
  for (const std::string& arg : args) {
    if (arg == "-g" || arg == "-d") {
      if (geometry || dump) return false;
      (arg == "-g" ? geometry : dump) = true;
    } else if (arg == "-q" || arg == "-uC") {
      (arg == "-q" ? quiet : cylinderUnits) = true;
    } else if (arg.compare(0, 1, "-") == 0) {
      return false;
    } else {
      disks.push_back(arg);
    }
  }
  mode = geometry ? CallMode::listGeometry : dump ? CallMode::dumpTable : CallMode::writeTable;
  if (geometry) return !quiet && !cylinderUnits;
  return quiet != dump && cylinderUnits && disks.size() == 1;
}

bool parseSettings(const std::string& text, std::map<std::string, std::string>& settings,
                   std::string& error) {
  for (const std::string& line : lines(text)) {
    std::string name = line.substr(0, line.find('='));
    if (name.empty() || name[0] == '#') continue;
    if (std::find(std::begin(kSettingNames), std::end(kSettingNames), name) ==
        std::end(kSettingNames)) {
      return refuse(error, "unknown setting '" + name + "'");
    }
    settings.emplace(name, line.substr(std::min(name.size() + 1, line.size())));
  }
  return true;
}

bool parseForcedGeometry(const std::string& text, Geometry& geometry) {
  std::vector<std::string> groups;
  return matches("^([0-9]+)[xX]([0-9]+)$", text, &groups) && toNumber(groups[0], geometry.heads) &&
         toNumber(groups[1], geometry.sectors) && geometry.heads > 0 &&
         geometry.heads <= kMaxForcedHeads && geometry.sectors > 0 &&
         geometry.sectors <= kMaxForcedTrackSectors;
}

bool parseModernGeometry(const std::string& output, Geometry& geometry) {
  std::vector<std::string> heads, sectors;
  return matches("[ ,]([0-9]+) heads", output, &heads) &&
         matches("[ ,]([0-9]+) sectors", output, &sectors) && toNumber(heads[0], geometry.heads) &&
         toNumber(sectors[0], geometry.sectors) && geometry.heads > 0 && geometry.sectors > 0;
}

uint64_t cylinderCount(uint64_t diskBytes, const Geometry& geometry) {
  return diskBytes / kDiskSectorBytes / (geometry.heads * geometry.sectors);
}

std::vector<std::string> listedDisks(const std::string& configured, const std::string& listing) {
  std::vector<std::string> disks, groups;
  for (const std::string& line : lines(configured.empty() ? listing : "")) {
    // Loop, device-mapper, RAID, network and RAM disks would sort before the first hard drive.
    if (matches("^(/dev/[^:]*):", line, &groups) &&
        !matches("/(loop|dm-|md|nbd|zram|ram)[0-9]", groups[0])) {
      disks.push_back(groups[0]);
    }
  }
  const char* blanks = " \t\n";
  for (size_t start = configured.find_first_not_of(blanks), end; start != std::string::npos;
       start = configured.find_first_not_of(blanks, end)) {
    end = configured.find_first_of(blanks, start);
    disks.push_back(configured.substr(start, end - start));
  }
  auto removable = [](const std::string& disk) {
    return matches("(^|/)(sr|scd|fd)[0-9][^/]*$", disk);
  };
  disks.erase(std::remove_if(disks.begin(), disks.end(), removable), disks.end());
  return disks;
}

std::string geometryLine(const std::string& disk, const Geometry& geometry) {
  return disk + ": " + std::to_string(geometry.cylinders) + " cylinders, " +
         std::to_string(geometry.heads) + " heads, " + std::to_string(geometry.sectors) +
         " sectors/track\n";
}

std::string sortedLines(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

std::string partitionName(const std::string& disk, int number) {
  bool endsInDigit = !disk.empty() && disk.back() >= '0' && disk.back() <= '9';
  return disk + (endsInDigit ? "p" : "") + std::to_string(number);
}

bool formatDump(const std::string& disk, const unsigned char sector[kDiskSectorBytes],
                std::string& text) {
  if (sector[kSignatureOffset] != 0x55 || sector[kSignatureOffset + 1] != 0xAA) return false;
  text = "# partition table of " + disk + "\nunit: sectors\n\n";
  for (int slot = 0; slot < kPrimarySlots; slot++) {
    const unsigned char* entry = sector + kBootAreaBytes + slot * kEntryBytes;
    auto le32 = [entry](int at) {
      return entry[at] | entry[at + 1] << 8 | entry[at + 2] << 16 |
             static_cast<uint32_t>(entry[at + 3]) << 24;
    };
    char line[kDumpEntryMax];
    snprintf(line, sizeof line, " : start=%9" PRIu32 ", size=%9" PRIu32 ", Id=%2x%s\n", le32(8),
             le32(12), static_cast<unsigned>(entry[4]), entry[0] == kBootable ? ", bootable" : "");
    text += partitionName(disk, slot + 1) + line;
  }
  return true;
}

bool planTable(const std::string& disk, const std::string& input, const Geometry& geometry,
               Extent extents[kPrimarySlots], std::string& script, std::string& error) {
  std::fill(extents, extents + kPrimarySlots, Extent());
  script = "label: dos\nunit: sectors\n";
  int slot = 0;
  for (std::string line : lines(input)) {
    line.erase(std::remove_if(line.begin(), line.end(),
                              [](char c) { return c == ' ' || c == '\t' || c == '\r'; }),
               line.end());
    std::vector<std::string> fields;  // start, size, type and ",*", ",-", "," or ""
    uint64_t start = 0, size = 0, cylinder = geometry.heads * geometry.sectors;
    if (line.empty() || line[0] == '#') continue;
    if (slot == kPrimarySlots) {
      return refuse(error, "more than four partitions: only the primary ones are supported");
    }
    if (!matches("^([0-9]+),([0-9]+),([0-9a-fA-F]{1,2})(,[*-]?)?$", line, &fields) ||
        !toNumber(fields[0], start) || !toNumber(fields[1], size)) {
      return refuse(error, "bad input line '" + line + "'");
    }
    std::string number = std::to_string(++slot);
    unsigned id = static_cast<unsigned char>(strtoul(fields[2].c_str(), nullptr, 16));
    if (size == 0 || id == 0) continue;
    if (start + size > geometry.cylinders) {
      return refuse(error, "partition " + number + " ends at cylinder " +
                               std::to_string(start + size) + ", after the end of the disk (" +
                               std::to_string(geometry.cylinders) + ")");
    }
    // The first track stays free, so that sector 0 remains the master boot record.
    uint64_t firstTrack = start == 0 ? geometry.sectors : 0;
    Extent& extent =
        extents[slot - 1] = {start * cylinder + firstTrack, size * cylinder - firstTrack};
    if (extent.count == 0)
      return refuse(error, "partition " + number + " is smaller than its first track");
    char type[3];
    snprintf(type, sizeof type, "%x", id & 0xFF);
    script += partitionName(disk, slot) + " : start=" + std::to_string(extent.first) +
              ", size=" + std::to_string(extent.count) + ", type=" + type +
              (fields[3] == ",*" ? ", bootable\n" : "\n");
  }
  return true;
}
