// The package format's pieces: .PKGINFO parsing, ustar headers, the CRC-32 and PackageInfo's
// name calls.
#include <gtest/gtest.h>

#include <string.h>
#include <zlib.h>

#include <tuple>

#include "qpk_test_util.h"

namespace {

struct PkgInfoCase {
  const char* text;
  const char* errorPart;  // nullptr when the text is well-formed
};

class PkgInfoParse : public ::testing::TestWithParam<PkgInfoCase> {};

TEST_P(PkgInfoParse, acceptsWellFormedAndNamesTheFault) {
  PackageInfo info;
  std::string error;
  const PkgInfoCase& c = GetParam();
  EXPECT_EQ(c.errorPart == nullptr, parsePkgInfo(c.text, strlen(c.text), info, error)) << c.text;
  if (c.errorPart) {
    EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PkgInfoParse,
    ::testing::Values(PkgInfoCase{"# comment\n\n  pkgname=a  \r\npkgver=1.0-2\nsize = 5\n",
                                  nullptr},
                      PkgInfoCase{"pkgver = 1\n", "no pkgname"},
                      PkgInfoCase{"pkgname = a\n", "no pkgver"},
                      PkgInfoCase{"pkgname = ../etc\npkgver = 1\n", "not a valid package name"},
                      PkgInfoCase{"pkgname = a/b\npkgver = 1\n", "not a valid package name"},
                      PkgInfoCase{"pkgname = .hidden\npkgver = 1\n", "not a valid"},
                      PkgInfoCase{"pkgname = a\npkgver = 1 2\n", "not a valid version"},
                      PkgInfoCase{"pkgname = a\npkgname = b\npkgver = 1\n", "repeats"},
                      PkgInfoCase{"pkgname = a\npkgver = 1\njunk\n", "not 'key = value'"},
                      PkgInfoCase{"pkgname = a\npkgver = 1\ndepend = ../x\n", "depend"},
                      PkgInfoCase{"pkgname = a\npkgver = 1\npkgdesc = x\x01y\n", "control"}));

TEST(PkgInfo, readsEveryFieldStripsVersionConstraintsAndFormatsBack) {
  const char text[] =
      "pkgname = net-tools\npkgver = 2.1\npkgdesc = Network tools, one line\narch = i386\n"
      "depend = base\ndepend = libc>=2.3\n";
  PackageInfo info, again;
  std::string error;
  ASSERT_TRUE(parsePkgInfo(text, sizeof text - 1, info, error)) << error;
  EXPECT_EQ("net-tools-2.1", info.getFullName());
  EXPECT_EQ("Network tools, one line", info.description);
  EXPECT_EQ("i386", info.arch);
  ASSERT_EQ(2u, info.depends.size());
  EXPECT_EQ("base", info.depends[0].name);
  EXPECT_EQ("libc", info.depends[1].name);
  std::string formatted = formatPkgInfo(info);
  ASSERT_TRUE(parsePkgInfo(formatted.data(), formatted.size(), again, error));
  EXPECT_EQ(formatted, formatPkgInfo(again));
  // requires() compares whole names.
  PackageInfo base, basement;
  base.name = "base";
  basement.name = "basement";
  EXPECT_TRUE(info.requires(base));
  EXPECT_FALSE(info.requires(basement));
  EXPECT_FALSE(base.requires(info));
}

// Check values from the CRC catalogue (CRC-32/ISO-HDLC "check"); zlib's crc32 for a long run.
TEST(UpdateCrc, matchesTheCommonCrc32Vectors) {
  auto crc = [](std::string s) {
    unsigned char* data = reinterpret_cast<unsigned char*>(&s[0]);
    return ~update_crc(0xFFFFFFFFu, data, static_cast<unsigned int>(s.size())) & 0xFFFFFFFFu;
  };
  EXPECT_EQ(0xCBF43926u, crc("123456789"));
  EXPECT_EQ(0u, crc(""));
  EXPECT_EQ(0x414FA339u, crc("The quick brown fox jumps over the lazy dog"));
  unsigned char digits[] = "123456789";
  unsigned int running = update_crc(update_crc(0xFFFFFFFFu, digits, 4), digits + 4, 5);
  EXPECT_EQ(0xCBF43926u, ~running & 0xFFFFFFFFu);
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(big.data()), static_cast<uInt>(big.size())),
            crc(big));
}

TEST(TarHeader, roundTripsEveryFieldIncludingBase256Sizes) {
  TarEntry e;
  e.path = std::string(120, 'd') + "/" + std::string(90, 'f');
  e.mode = 04755;
  e.uid = 3000000;  // above octal's 7 digits
  e.gid = 42;
  e.size = 10ull * 1024 * 1024 * 1024;  // above 8 GiB: base-256
  e.mtime = 1700000000;
  uint8_t block[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  TarEntry d;
  std::string error;
  ASSERT_TRUE(decodeTarHeader(block, d, error)) << error;
  EXPECT_EQ(std::make_tuple(e.path, e.mode, e.uid, e.gid, e.size, e.mtime),
            std::make_tuple(d.path, d.mode, d.uid, d.gid, d.size, d.mtime));
}

TEST(TarHeader, refusesBadChecksumsForeignHeadersAndPathsThatDoNotFit) {
  TarEntry e, d;
  e.path = "a";
  uint8_t block[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  for (size_t i = 0; i < kTarBlockSize; i += 37) {
    uint8_t copy[kTarBlockSize];
    memcpy(copy, block, sizeof copy);
    copy[i] ^= 0x40;
    EXPECT_FALSE(decodeTarHeader(copy, d, error)) << "byte " << i;
  }
  e.type = 'x';
  ASSERT_TRUE(encodeTarHeader(e, block));
  EXPECT_FALSE(decodeTarHeader(block, d, error));
  EXPECT_NE(std::string::npos, error.find("pax")) << error;
  e.type = kTarRegular;
  for (const std::string& path : {std::string(101, 'x'), std::string(156, 'p') + "/name"}) {
    e.path = path;
    EXPECT_FALSE(encodeTarHeader(e, block)) << path;
  }
}

TEST(UpdateCrc, nullBufferKeepsTheRunningValue) {
  EXPECT_EQ(update_crc(0x12345678u, nullptr, 0), 0x12345678u);
}

}  // namespace
