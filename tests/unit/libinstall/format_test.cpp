// The package format's pieces: .PKGINFO parsing, ustar headers, the CRC-32, and sortPackages
// (dependency order, stable, cycles). readFrom is seen through the catalogue's tests.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <tuple>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

TEST(PkgInfo, acceptsWellFormedTextAndNamesTheFault) {
  const struct {
    const char* text;
    const char* errorPart;  // nullptr when the text is well-formed
  } cases[] = {
      {"# comment\n\n  pkgname=a  \r\npkgver=1.0-2\nsize = 5\n", nullptr},
      {"pkgver = 1\n", "no pkgname"},
      {"pkgname = a\n", "no pkgver"},
      {"pkgname = ../etc\npkgver = 1\n", "not a valid package name"},
      {"pkgname = a/b\npkgver = 1\n", "not a valid package name"},
      {"pkgname = .hidden\npkgver = 1\n", "not a valid"},
      {"pkgname = a\npkgver = 1 2\n", "not a valid version"},
      {"pkgname = a\npkgname = b\npkgver = 1\n", "repeats"},
      {"pkgname = a\npkgver = 1\njunk\n", "not 'key = value'"},
      {"pkgname = a\npkgver = 1\ndepend = ../x\n", "depend"},
      {"pkgname = a\npkgver = 1\npkgdesc = x\x01y\n", "control"},
  };
  for (const auto& c : cases) {
    PackageInfo info;
    std::string error;
    EXPECT_EQ(c.errorPart == nullptr, parsePkgInfo(c.text, strlen(c.text), info, error)) << c.text;
    if (c.errorPart) {
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    }
  }
}

TEST(PkgInfo, readsEveryFieldStripsVersionConstraintsAndFormatsBack) {
  const char text[] =
      "pkgname = net-tools\npkgver = 2.1\npkgdesc = Network tools, one line\n"
      "arch = i386\ndepend = base\ndepend = libc>=2.3\n";
  PackageInfo info, again, base, basement;
  std::string error;
  ASSERT_TRUE(parsePkgInfo(text, sizeof text - 1, info, error)) << error;
  EXPECT_EQ(
      std::make_tuple(std::string("net-tools-2.1"), std::string("Network tools, one line"),
                      std::string("i386"), size_t{2}, std::string("base"), std::string("libc")),
      std::make_tuple(info.getFullName(), info.description, info.arch, info.depends.size(),
                      info.depends[0].name, info.depends[1].name));
  std::string formatted = formatPkgInfo(info);
  ASSERT_TRUE(parsePkgInfo(formatted.data(), formatted.size(), again, error));
  EXPECT_EQ(formatted, formatPkgInfo(again));
  base.name = "base";  // requires() compares whole names
  basement.name = "basement";
  EXPECT_TRUE(info.requires(base) && !info.requires(basement) && !base.requires(info));
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
  EXPECT_EQ(0xCBF43926u, ~update_crc(update_crc(0xFFFFFFFFu, digits, 4), digits + 4, 5));
  EXPECT_EQ(update_crc(0x12345678u, nullptr, 0), 0x12345678u);
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(big.data()), static_cast<uInt>(big.size())),
            crc(big));
}

TEST(TarHeader, roundTripsEveryFieldIncludingBase256Sizes) {
  TarEntry e, d;
  e.path = std::string(120, 'd') + "/" + std::string(90, 'f');
  e.mode = 04755;
  e.uid = 3000000;  // above octal's 7 digits
  e.gid = 42;
  e.size = 10ull * 1024 * 1024 * 1024;  // above 8 GiB: base-256
  e.mtime = 1700000000;
  uint8_t block[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  ASSERT_TRUE(decodeTarHeader(block, d, error)) << error;
  EXPECT_EQ(std::make_tuple(e.path, e.mode, e.uid, e.gid, e.size, e.mtime),
            std::make_tuple(d.path, d.mode, d.uid, d.gid, d.size, d.mtime));
}

TEST(TarHeader, refusesBadChecksumsAndPathsThatDoNotFit) {
  TarEntry e, d;
  e.path = "a";
  uint8_t block[kTarBlockSize], copy[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  for (size_t i = 0; i < kTarBlockSize; i += 37) {
    memcpy(copy, block, sizeof copy);
    copy[i] ^= 0x40;
    EXPECT_FALSE(decodeTarHeader(copy, d, error)) << "byte " << i;
  }
  for (const std::string& path : {std::string(101, 'x'), std::string(156, 'p') + "/name"}) {
    e.path = path;
    EXPECT_FALSE(encodeTarHeader(e, block)) << path;
  }
}

TEST(SortPackages, ordersByDependenciesKeepingTheGivenOrderAndBreakingCyclesAlike) {
  using Input = std::vector<std::pair<std::string, std::vector<std::string>>>;
  auto sorted = [](const Input& input, bool reverse = false) {
    std::vector<PackageInfo> infos(input.size());
    std::list<PackageInfo*> list;
    for (size_t i = 0; i < input.size(); ++i) {
      infos[i].name = input[i].first;
      for (const std::string& d : input[i].second) infos[i].depends.push_back(PackageDep(d));
      list.push_back(&infos[i]);
    }
    Repo::getRepo()->sortPackages(list, reverse, true);
    std::string out;
    for (PackageInfo* p : list) out += (out.empty() ? "" : " ") + p->name;
    return out;
  };
  EXPECT_EQ(
      "base libc net app",
      sorted({{"app", {"net", "libc"}}, {"net", {"libc"}}, {"libc", {"base"}}, {"base", {}}}));
  EXPECT_EQ("c a x b", sorted({{"c", {}}, {"a", {}}, {"b", {"x"}}, {"x", {}}}));
  EXPECT_EQ("b a", sorted({{"b", {"zzz"}}, {"a", {"zzz"}}}));  // outside the list: ignored
  EXPECT_EQ("app libc", sorted({{"app", {"libc"}}, {"libc", {}}}, true));
  EXPECT_EQ("x a c b d",
            sorted({{"x", {}}, {"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}}));
  EXPECT_EQ("a", sorted({{"a", {"a"}}}));
}

}  // namespace
