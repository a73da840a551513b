// Sector 0 on image files: the master boot code replaces bytes 0-445 and nothing else, the
// code bytes carry their two messages, and every failure names itself on standard error with
// the system's reason. (The code's behaviour under a real firmware is tested in tests/vm.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "disk/boot_files.h"
#include "support/scratch_dir.h"

namespace {

// Every byte non-zero and unlike its neighbours, so that any byte touched by mistake shows.
std::string patterned(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + i % 251);
  return bytes;
}

std::string code() {
  return std::string(reinterpret_cast<const char*>(masterBootCode), kBootCodeSize);
}

TEST(BootSector, installReplacesTheCodeAreaOnlyAndOnlyWhenItDiffers) {
  ScratchDir dir;
  std::string image = dir.file("disk.img");
  std::string before = patterned(4 * kSectorSize);
  ASSERT_TRUE(writeFile(image, before));
  testing::internal::CaptureStderr();
  installBootCode(image.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::string after = readFile(image);
  EXPECT_EQ(after.substr(0, kBootCodeSize), code());
  EXPECT_EQ(after.substr(kBootCodeSize, kPartitionTableOffset - kBootCodeSize),
            std::string(kPartitionTableOffset - kBootCodeSize, '\0'));
  EXPECT_TRUE(after.substr(kPartitionTableOffset) == before.substr(kPartitionTableOffset));

  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, image.c_str(), old, 0), 0);
  installBootCode(image.c_str());
  struct stat status;
  ASSERT_EQ(stat(image.c_str(), &status), 0);
  EXPECT_EQ(status.st_mtim.tv_sec, 1000) << "a sector that holds the code is not written again";
  EXPECT_TRUE(readFile(image) == after);
}

TEST(BootSector, failuresNameTheStepAndTheReasonAndChangeNothing) {
  ScratchDir dir;
  std::string missing = dir.file("no-such-disk");
  std::string shortImage = dir.file("short.img");
  ASSERT_TRUE(writeFile(shortImage, patterned(100)));
  uint8_t sector[kSectorSize] = {};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readBootSector(missing.c_str(), sector));
  EXPECT_FALSE(writeBootSector(missing.c_str(), sector));
  installBootCode(missing.c_str());
  installBootCode(shortImage.c_str());
  EXPECT_FALSE(writeBootSector("/dev/full", sector));
  EXPECT_FALSE(readBootSector(dir.path().c_str(), sector));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "could not open MBR: No such file or directory\n"
            "could not open MBR: No such file or directory\n"
            "could not open MBR: No such file or directory\n"
            "could not read MBR: device ends after 100 bytes\n"
            "could not write MBR: No space left on device\n"
            "could not read MBR: Is a directory\n");
  EXPECT_NE(access(missing.c_str(), F_OK), 0);
  EXPECT_EQ(readFile(shortImage), patterned(100));
}

// The firmware runs whatever sits in the sector: the code starts with the interrupt disable
// of its set-up and holds both messages once, NUL-terminated, with zeros after them.
TEST(MasterBootCode, holdsBothMessagesAfterTheCodeAndZerosAfterThem) {
  const std::string bytes = code();
  EXPECT_EQ(masterBootCode[0], 0xFA);  // cli
  size_t end = 0;
  for (const char* text : {"Missing operating system", "Error loading operating system"}) {
    const std::string message(text, strlen(text) + 1);
    size_t at = bytes.find(message);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(bytes.find(message, at + 1), std::string::npos) << text;
    end = std::max(end, at + message.size());
  }
  EXPECT_EQ(bytes.substr(end), std::string(bytes.size() - end, '\0'));
}

}  // namespace
