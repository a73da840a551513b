// Sector 0 on image files: the master boot code replaces bytes 0-445 and nothing else, the
// code bytes carry their two messages, and every failure names itself on standard error with
// the system's reason. (The code's behaviour under a real firmware is tested in tests/vm.)
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/boot_files.h"

namespace {

class BootSectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/boot_sector_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    (void)system(command.c_str());
  }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  static void writeFile(const std::string& file, const std::vector<uint8_t>& bytes) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }

  static std::vector<uint8_t> readFile(const std::string& file) {
    std::vector<uint8_t> bytes;
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    uint8_t buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + count);
    close(fd);
    return bytes;
  }

  // A disk image whose every byte is non-zero and differs from its neighbours, so that any
  // byte the installer touches by mistake shows.
  static std::vector<uint8_t> patternedImage(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(1 + i % 251);
    return bytes;
  }

  std::string dir_;
};

TEST_F(BootSectorTest, installReplacesCodeAreaAndKeepsTableSignatureAndRest) {
  std::string image = path("disk.img");
  std::vector<uint8_t> before = patternedImage(4 * kSectorSize);
  writeFile(image, before);

  testing::internal::CaptureStderr();
  installBootCode(image.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  std::vector<uint8_t> after = readFile(image);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(memcmp(after.data(), masterBootCode, kBootCodeSize), 0);
  for (int i = kBootCodeSize; i < kPartitionTableOffset; ++i)
    EXPECT_EQ(after[i], 0) << "byte " << i;
  for (size_t i = kPartitionTableOffset; i < after.size(); ++i) {
    ASSERT_EQ(after[i], before[i]) << "byte " << i;
  }
}

TEST_F(BootSectorTest, installOnSectorThatAlreadyHoldsTheCodeWritesNothing) {
  std::string image = path("disk.img");
  std::vector<uint8_t> bytes = patternedImage(kSectorSize);
  memcpy(bytes.data(), masterBootCode, kBootCodeSize);
  memset(bytes.data() + kBootCodeSize, 0, kPartitionTableOffset - kBootCodeSize);
  writeFile(image, bytes);
  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, image.c_str(), old, 0), 0);

  installBootCode(image.c_str());

  struct stat status;
  ASSERT_EQ(stat(image.c_str(), &status), 0);
  EXPECT_EQ(status.st_mtim.tv_sec, 1000);
  EXPECT_EQ(readFile(image), bytes);
}

TEST_F(BootSectorTest, readAndWriteMoveExactlyOneSector) {
  std::string image = path("disk.img");
  std::vector<uint8_t> before = patternedImage(2 * kSectorSize);
  writeFile(image, before);

  uint8_t sector[kSectorSize];
  ASSERT_TRUE(readBootSector(image.c_str(), sector));
  EXPECT_EQ(memcmp(sector, before.data(), kSectorSize), 0);

  uint8_t replacement[kSectorSize];
  memset(replacement, 0xA5, sizeof replacement);
  ASSERT_TRUE(writeBootSector(image.c_str(), replacement));
  std::vector<uint8_t> after = readFile(image);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(memcmp(after.data(), replacement, kSectorSize), 0);
  EXPECT_TRUE(std::equal(after.begin() + kSectorSize, after.end(), before.begin() + kSectorSize));
}

TEST_F(BootSectorTest, missingDeviceIsReportedAndNotCreated) {
  std::string device = path("no-such-disk");
  uint8_t sector[kSectorSize] = {};

  testing::internal::CaptureStderr();
  EXPECT_FALSE(readBootSector(device.c_str(), sector));
  EXPECT_FALSE(writeBootSector(device.c_str(), sector));
  installBootCode(device.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "could not open MBR: No such file or directory\n"
            "could not open MBR: No such file or directory\n"
            "could not open MBR: No such file or directory\n");
  EXPECT_NE(access(device.c_str(), F_OK), 0);
}

TEST_F(BootSectorTest, shortDeviceIsReportedAndLeftUntouched) {
  std::string image = path("short.img");
  std::vector<uint8_t> bytes = patternedImage(100);
  writeFile(image, bytes);

  testing::internal::CaptureStderr();
  installBootCode(image.c_str());
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "could not read MBR: device ends after 100 bytes\n");
  EXPECT_EQ(readFile(image), bytes);
}

TEST_F(BootSectorTest, deviceWithoutRoomReportsTheWriteFailure) {
  uint8_t sector[kSectorSize] = {};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(writeBootSector("/dev/full", sector));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "could not write MBR: No space left on device\n");
}

TEST_F(BootSectorTest, readOfADirectoryReportsTheSystemError) {
  uint8_t sector[kSectorSize];
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readBootSector(dir_.c_str(), sector));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not read MBR: Is a directory\n");
}

// The firmware runs whatever sits in the sector: the code must start with the interrupt
// disable of its set-up and hold both messages, NUL-terminated, with zeros after them.
TEST(MasterBootCode, holdsBothMessagesAfterTheCodeAndZerosAfterThem) {
  const char* code = reinterpret_cast<const char*>(masterBootCode);
  const std::string bytes(code, kBootCodeSize);
  EXPECT_EQ(masterBootCode[0], 0xFA);  // cli
  const std::string missing("Missing operating system", sizeof "Missing operating system");
  const std::string failed("Error loading operating system",
                           sizeof "Error loading operating system");
  size_t missingAt = bytes.find(missing);
  size_t failedAt = bytes.find(failed);
  ASSERT_NE(missingAt, std::string::npos);
  ASSERT_NE(failedAt, std::string::npos);
  EXPECT_EQ(bytes.find(missing, missingAt + 1), std::string::npos);
  size_t textsEnd = std::max(missingAt + missing.size(), failedAt + failed.size());
  for (size_t i = textsEnd; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], '\0') << "byte " << i;
}

}  // namespace
