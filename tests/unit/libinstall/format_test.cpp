// The package format's pieces: .PKGINFO parsing, ustar headers, the CRC-32 and PackageInfo's
// name calls.
#include <gtest/gtest.h>

#include <string.h>

#include "qpk_test_util.h"

namespace {

struct PkgInfoCase {
  const char* text;
  bool ok;
  const char* errorPart;  // for failures
};

class PkgInfoParse : public ::testing::TestWithParam<PkgInfoCase> {};

TEST_P(PkgInfoParse, acceptsWellFormedAndNamesTheFault) {
  PackageInfo info;
  std::string error;
  const PkgInfoCase& c = GetParam();
  EXPECT_EQ(c.ok, parsePkgInfo(c.text, strlen(c.text), info, error)) << c.text;
  if (!c.ok) {
    EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PkgInfoParse,
    ::testing::Values(
        PkgInfoCase{"pkgname = a\npkgver = 1\n", true, ""},
        PkgInfoCase{"# comment\n\n  pkgname=a  \r\npkgver=1.0-2\nsize = 5\n", true, ""},
        PkgInfoCase{"pkgver = 1\n", false, "no pkgname"},
        PkgInfoCase{"pkgname = a\n", false, "no pkgver"},
        PkgInfoCase{"pkgname = ../etc\npkgver = 1\n", false, "not a valid package name"},
        PkgInfoCase{"pkgname = a/b\npkgver = 1\n", false, "not a valid package name"},
        PkgInfoCase{"pkgname = .hidden\npkgver = 1\n", false, "not a valid"},
        PkgInfoCase{"pkgname = a\npkgver = 1 2\n", false, "not a valid version"},
        PkgInfoCase{"pkgname = a\npkgname = b\npkgver = 1\n", false, "repeats"},
        PkgInfoCase{"pkgname = a\npkgver = 1\njunk\n", false, "not 'key = value'"},
        PkgInfoCase{"pkgname = a\npkgver = 1\ndepend = ../x\n", false, "depend"},
        PkgInfoCase{"pkgname = a\npkgver = 1\npkgdesc = x\x01y\n", false, "control"}));

TEST(PkgInfo, readsEveryFieldAndStripsVersionConstraints) {
  const char text[] =
      "pkgname = net-tools\npkgver = 2.1\npkgdesc = Network tools, one line\narch = i386\n"
      "depend = base\ndepend = libc>=2.3\n";
  PackageInfo info;
  std::string error;
  ASSERT_TRUE(parsePkgInfo(text, sizeof text - 1, info, error)) << error;
  EXPECT_EQ("net-tools", info.name);
  EXPECT_EQ("2.1", info.version);
  EXPECT_EQ("Network tools, one line", info.description);
  EXPECT_EQ("i386", info.arch);
  ASSERT_EQ(2u, info.depends.size());
  EXPECT_EQ("base", info.depends[0].name);
  EXPECT_EQ("libc", info.depends[1].name);
  EXPECT_EQ("net-tools-2.1", info.getFullName());
  PackageInfo again;
  std::string formatted = formatPkgInfo(info);
  ASSERT_TRUE(parsePkgInfo(formatted.data(), formatted.size(), again, error));
  EXPECT_EQ(formatted, formatPkgInfo(again));
}

TEST(PkgInfo, requiresComparesTheOtherNameWithTheDependNames) {
  PackageInfo a, base, other, nameless;
  a.name = "a";
  a.depends.push_back(PackageDep("base"));
  base.name = "base";
  base.version = "9";
  other.name = "basement";
  EXPECT_TRUE(a.requires(base));
  EXPECT_FALSE(a.requires(other));
  EXPECT_FALSE(base.requires(a));
  EXPECT_FALSE(a.requires(nameless));
  EXPECT_EQ("", nameless.getFullName());
}

// Check values from the CRC catalogue (reveng.sourceforge.io, CRC-32/ISO-HDLC "check").
TEST(UpdateCrc, matchesTheCommonCrc32Vectors) {
  unsigned char digits[] = "123456789";
  EXPECT_EQ(0xCBF43926u, ~update_crc(0xFFFFFFFFu, digits, 9) & 0xFFFFFFFFu);
  EXPECT_EQ(0u, ~update_crc(0xFFFFFFFFu, digits, 0) & 0xFFFFFFFFu);
  unsigned char fox[] = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(0x414FA339u, ~update_crc(0xFFFFFFFFu, fox, 43) & 0xFFFFFFFFu);
  // Running value across pieces equals one pass.
  unsigned int running = update_crc(0xFFFFFFFFu, digits, 4);
  running = update_crc(running, digits + 4, 5);
  EXPECT_EQ(0xCBF43926u, ~running & 0xFFFFFFFFu);
  std::vector<unsigned char> big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(static_cast<unsigned int>(crc32(0, big.data(), static_cast<uInt>(big.size()))),
            ~update_crc(0xFFFFFFFFu, big.data(), static_cast<unsigned int>(big.size())));
}

TEST(TarHeader, roundTripsEveryFieldIncludingBase256Sizes) {
  TarEntry e;
  e.path = std::string(120, 'd') + "/" + std::string(90, 'f');
  e.type = kTarRegular;
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
  EXPECT_EQ(e.path, d.path);
  EXPECT_EQ(e.mode, d.mode);
  EXPECT_EQ(e.uid, d.uid);
  EXPECT_EQ(e.gid, d.gid);
  EXPECT_EQ(e.size, d.size);
  EXPECT_EQ(e.mtime, d.mtime);
}

TEST(TarHeader, refusesBadChecksumsAndForeignHeaders) {
  TarEntry e = qpktest::fileEntry("a");
  uint8_t block[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  TarEntry d;
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
}

TEST(TarHeader, refusesPathsThatDoNotFitUstar) {
  TarEntry e = qpktest::fileEntry(std::string(101, 'x'));
  uint8_t block[kTarBlockSize];
  EXPECT_FALSE(encodeTarHeader(e, block));
  e.path = std::string(156, 'p') + "/name";
  EXPECT_FALSE(encodeTarHeader(e, block));
}

}  // namespace
