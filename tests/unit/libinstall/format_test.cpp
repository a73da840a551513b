// The package format's pieces and the catalogue calls on them: .PKGINFO parsing, ustar headers,
// the CRC-32, readFrom (metadata only) and sortPackages (dependency order, stable, cycles).
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
      "pkgname = net-tools\npkgver = 2.1\npkgdesc = Network tools, one line\narch = i386\n"
      "depend = base\ndepend = libc>=2.3\n";
  PackageInfo info, again, base, basement;
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
  base.name = "base";  // requires() compares whole names
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

TEST(TarHeader, refusesBadChecksumsForeignHeadersAndPathsThatDoNotFit) {
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

TEST(ReadFrom, readsOnlyTheMetadataAndKeepsThePathEvenWhenItFails) {
  ScratchDir dir;
  std::string bytes =
      buildQpk(pkgInfo("a", "2", {"base"}), {file("big", std::string(200000, 'z'))});
  bytes[bytes.size() - 6] ^= 1;  // the CRC-32 in the trailer: never read
  ASSERT_TRUE(writeFile(dir.file("a.qpk"), bytes));
  PackageFile p;
  ASSERT_TRUE(p.readFrom(dir.file("a.qpk")));
  EXPECT_EQ(dir.file("a.qpk"), p.path);
  EXPECT_EQ("a-2", p.getFullName());
  ASSERT_EQ(1u, p.depends.size());
  EXPECT_EQ("base", p.depends[0].name);

  PackageFile q;
  q.name = "stale";
  EXPECT_FALSE(q.readFrom(dir.file("missing.qpk")));
  EXPECT_EQ(dir.file("missing.qpk"), q.path);
  EXPECT_EQ("", q.getFullName());
  std::string good = buildQpk(pkgInfo("a"), {});
  std::vector<std::string> bad = {"just text\n", gzipOf(std::string(1024, '\0'))};
  for (size_t cut = 0; cut < 40; ++cut) bad.push_back(good.substr(0, cut));
  for (const std::string& bytes : bad) {
    ASSERT_TRUE(writeFile(dir.file("bad.qpk"), bytes));
    EXPECT_FALSE(q.readFrom(dir.file("bad.qpk"))) << bytes.size() << " bytes";
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
  EXPECT_EQ("c a b d", sorted({{"c", {}}, {"a", {}}, {"b", {}}, {"d", {}}}));
  EXPECT_EQ("c a x b", sorted({{"c", {}}, {"a", {}}, {"b", {"x"}}, {"x", {}}}));
  EXPECT_EQ("b a", sorted({{"b", {"zzz"}}, {"a", {"zzz"}}}));  // outside the list: ignored
  EXPECT_EQ("app libc", sorted({{"app", {"libc"}}, {"libc", {}}}, true));
  EXPECT_EQ("x a c b d",
            sorted({{"x", {}}, {"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}}));
  EXPECT_EQ("a", sorted({{"a", {"a"}}}));
  // A long ring: p_i needs p_(i+1), the last needs p0; no recursion limit or quadratic blow-up.
  Input ring;
  for (int i = 0; i < 500; ++i) {
    ring.push_back({"p" + std::to_string(i), {}});
    if (i > 0) ring.back().second.push_back("p" + std::to_string(i + 1 == 500 ? 0 : i + 1));
  }
  EXPECT_EQ(0u, sorted(ring).find("p0 p499 p498"));
}

}  // namespace
