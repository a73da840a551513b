// The medium's sfdisk without root: the calls, settings and geometry texts it takes or refuses,
// whole cylinders of odd-sized disks, the bare listing's choice and order of disks, and the old
// dump and the modern tool's script byte for byte.
#include "sfdisk_compat.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

bool takesCall(const std::string& call) {
  std::vector<std::string> args, disks;
  for (size_t start = 0, end; start < call.size(); start = end + 1) {
    end = std::min(call.find(' ', start), call.size());
    args.push_back(call.substr(start, end - start));
  }
  CallMode mode;
  return parseCall(args, mode, disks);
}

TEST(CompatSfdisk, takesOnlyTheInstallersCalls) {
  for (const char* call : {"-g", "-g /dev/hda /dev/hdc", "-d -uC /dev/hda", "-uC -q /dev/hda"}) {
    EXPECT_TRUE(takesCall(call)) << call;
  }
  for (const char* call :
       {"-g -uC", "-g -d /dev/hda", "-d /dev/hda", "-d -uC", "-d -q -uC /dev/hda", "-uC /dev/hda",
        "-q -uC /dev/hda /dev/hdc", "-l /dev/hda"}) {
    EXPECT_FALSE(takesCall(call)) << call;
  }
}

TEST(CompatSfdisk, settingsFileFillsOnlyWhatIsUnset) {
  std::map<std::string, std::string> settings = {{"SFDISK_COMPAT_GEOMETRY", ""}};  // environment
  std::string error;
  ASSERT_TRUE(parseSettings(
      "# old IDE\n\nSFDISK_COMPAT_GEOMETRY=16x63\nSFDISK_COMPAT_DEVICES=/dev/hda /dev/hdc\n"
      "SFDISK_COMPAT_DEVICES=/dev/sda\nSFDISK_COMPAT_REAL",
      settings, error));
  EXPECT_EQ(settings,
            (std::map<std::string, std::string>{{"SFDISK_COMPAT_GEOMETRY", ""},
                                                {"SFDISK_COMPAT_DEVICES", "/dev/hda /dev/hdc"},
                                                {"SFDISK_COMPAT_REAL", ""}}));
  EXPECT_FALSE(parseSettings(" SFDISK_COMPAT_REAL=/x\n", settings, error));
  EXPECT_EQ(error, "unknown setting ' SFDISK_COMPAT_REAL'");
}

// Settings ("HxS") and the modern tool's lines (with "heads"); taken as heads * 1000 + sectors.
TEST(CompatSfdisk, geometryTexts) {
  auto parse = [](const char* text, Geometry& g) {
    return strstr(text, "heads") ? parseModernGeometry(text, g) : parseForcedGeometry(text, g);
  };
  const std::pair<const char*, uint64_t> taken[] = {
      {"16x63", 16063},
      {"0255X063", 255063},
      {"000000000000001x1", 1001},
      {"/dev/sda: 1044 cylinders, 255 heads, 63 sectors/track\n", 255063},
      {"/dev/hda: 32 cylinders,16 heads, 63 sectors/track", 16063}};
  for (const auto& c : taken) {
    Geometry g;
    EXPECT_TRUE(parse(c.first, g) && g.heads * 1000 + g.sectors == c.second) << c.first;
  }
  for (const char* text : {"300x63", "16x64", "0x63", "16x0", "16", "16x63x2", "-16x63",
                           "1000000000000x63", "/dev/sda: 9 cylinders, 0 heads, 63 sectors/track",
                           "/dev/sda: 1044 cylinders, 255 heads\n"}) {
    Geometry g;
    EXPECT_FALSE(parse(text, g)) << text;
  }
}

// The size in KiB lost an odd last sector, and with it a cylinder of 255x63 disks.
TEST(CompatSfdisk, cylindersCountWholeSectors) {
  constexpr uint64_t kLbaCylinderBytes = 255 * 63 * 512;
  EXPECT_EQ(cylinderCount(1035 * kLbaCylinderBytes, Geometry{255, 63}), 1035u);
  EXPECT_EQ(cylinderCount(1035 * kLbaCylinderBytes - 1, Geometry{255, 63}), 1034u);
  EXPECT_EQ(cylinderCount(3 * kLbaCylinderBytes + 511, Geometry{255, 63}), 3u);
  EXPECT_EQ(cylinderCount(16 * 1024 * 1024, Geometry{16, 63}), 32u);
}

TEST(CompatSfdisk, bareListingHasOnlyHardDrivesInByteOrder) {
  const char listing[] =
      "/dev/loop0: 2 cylinders, 255 heads, 63 sectors/track\n/dev/sdb: 9 cylinders\n"
      "/dev/dm-0: 1\n/dev/md0: 1\n/dev/nbd3: 1\n/dev/sr0: 1\n/dev/sda: 1\n/dev/zram0: 1\n"
      "/dev/fd0: 1\n/dev/ram1: 1\nsfdisk: cannot open /dev/vda\n/dev/mapper/root: 1";
  using Disks = std::vector<std::string>;
  EXPECT_EQ(listedDisks("", listing), (Disks{"/dev/sdb", "/dev/sda", "/dev/mapper/root"}));
  EXPECT_EQ(listedDisks(" /dev/hdc\t/dev/scd0 /dev/loop0\n/dev/hda ", listing),
            (Disks{"/dev/hdc", "/dev/loop0", "/dev/hda"}));
  Geometry geometry = Geometry{16, 63, 2};
  EXPECT_EQ(sortedLines({geometryLine("/dev/sda", geometry), geometryLine("/dev/hdc", geometry),
                         geometryLine("/dev/sda1", geometry)}),
            "/dev/hdc: 2 cylinders, 16 heads, 63 sectors/track\n"
            "/dev/sda1: 2 cylinders, 16 heads, 63 sectors/track\n"
            "/dev/sda: 2 cylinders, 16 heads, 63 sectors/track\n");
}

TEST(CompatSfdisk, dumpListsAllFourEntries) {
  std::string sector = std::string(446, '\0') +
                       std::string("\x80\1\1\0\x83\0\0\0\x3F\0\0\0\xFF\xFF\xFF\xFF", 16) +
                       std::string("\0\0\0\0\x05\0\0\0\x40\x7E\0\0\xB0\x2B\0\0", 16) +
                       std::string(32, '\0') + "\x55\xAA";
  std::string text;
  auto bytes = [&sector] { return reinterpret_cast<const unsigned char*>(sector.data()); };
  ASSERT_TRUE(formatDump("/dev/loop0", bytes(), text));
  EXPECT_EQ(text,
            "# partition table of /dev/loop0\nunit: sectors\n\n"
            "/dev/loop0p1 : start=       63, size=4294967295, Id=83, bootable\n"
            "/dev/loop0p2 : start=    32320, size=    11184, Id= 5\n"
            "/dev/loop0p3 : start=        0, size=        0, Id= 0\n"
            "/dev/loop0p4 : start=        0, size=        0, Id= 0\n");
  sector[511] = 0;
  EXPECT_FALSE(formatDump("/dev/hda", bytes(), text));
}

TEST(CompatSfdisk, cylinderLinesBecomeTheModernScript) {
  struct Case {
    const char* input;
    uint64_t heads;
    const char* result;  // the script after its header, or the error
  } cases[] = {
      {"0,21,83,*\n21,11,83,-\n", 16,
       "/dev/hda1 : start=63, size=21105, type=83, bootable\n"
       "/dev/hda2 : start=21168, size=11088, type=83\n"},
      {" # comment\r\n\n 0 ,\t2, 0A ,\n0,0,0\n2,1,0\n3,1,Fb", 16,
       "/dev/hda1 : start=63, size=1953, type=a\n/dev/hda4 : start=3024, size=1008, type=fb\n"},
      {"0,33,83", 16, "partition 1 ends at cylinder 33, after the end of the disk (32)"},
      {"0,1,83", 1, "partition 1 is smaller than its first track"},
      {"0,1,83\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n", 16,
       "more than four partitions: only the primary ones are supported"},
      {"a,b", 16, "bad input line 'a,b'"},
      {"0,1", 16, "bad input line '0,1'"},
      {"0,1,83,+", 16, "bad input line '0,1,83,+'"},
      {"0,1,83,*,", 16, "bad input line '0,1,83,*,'"},
      {"0,1,123", 16, "bad input line '0,1,123'"},
      {"0,1234567890123,83", 16, "bad input line '0,1234567890123,83'"},
  };
  for (const Case& c : cases) {
    Extent extents[kPrimarySlots];
    std::string script, error;
    bool planned =
        planTable("/dev/hda", c.input, Geometry{c.heads, 63, 32}, extents, script, error);
    EXPECT_EQ(planned ? script : error,
              (planned ? "label: dos\nunit: sectors\n" : "") + std::string(c.result))
        << c.input;
  }
}

}  // namespace
