// The medium's sfdisk without root: a bare -g, fed by a stand-in for the modern tool, lists only
// hard drives, sorted, so that no loop, device-mapper, RAID, network or CD device can come
// first and be taken for the installation target.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "support/scratch_dir.h"

namespace {

constexpr const char* kCompatSfdisk = TRENAVOX_SOURCE_DIR "/tools/sfdisk-compat/sfdisk";

TEST(CompatSfdiskListing, bareGeometryListsOnlyHardDrivesInNameOrder) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.path().empty());
  // The modern tool lists whole block devices unsorted; every disk has 1008 KiB (2 cylinders
  // of 16 heads and 63 sectors).
  std::string modern = scratch.file("sfdisk.real");
  ASSERT_TRUE(writeScript(modern,
                          "case \"$1\" in\n"
                          "-s) echo 1008 ;;\n"
                          "-g) if [ -n \"$2\" ]; then\n"
                          "      echo \"$2: 2 cylinders, 16 heads, 63 sectors/track\"\n"
                          "    else\n"
                          "      for d in loop0 sdb dm-0 md0 nbd3 sr0 sda zram0 fd0; do\n"
                          "        echo \"/dev/$d: 2 cylinders, 16 heads, 63 sectors/track\"\n"
                          "      done\n"
                          "    fi ;;\n"
                          "esac\n"));
  std::string command = "SFDISK_COMPAT_CONF=/nonexistent SFDISK_COMPAT_REAL=" + modern + " sh " +
                        kCompatSfdisk + " -g 2>&1";
  FILE* tool = popen(command.c_str(), "r");
  ASSERT_NE(tool, nullptr);
  std::string output;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, tool)) > 0) output.append(buffer, n);
  int status = pclose(tool);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output,
            "/dev/sda: 2 cylinders, 16 heads, 63 sectors/track\n"
            "/dev/sdb: 2 cylinders, 16 heads, 63 sectors/track\n");
}

}  // namespace
