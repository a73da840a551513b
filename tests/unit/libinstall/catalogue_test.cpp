// Catalogue calls: readFrom reads a package file's metadata only, and sortPackages orders by
// dependencies, keeps the given order otherwise, and breaks cycles the same way every time.
#include <gtest/gtest.h>

#include "qpk_test_util.h"

namespace {

using qpktest::buildQpk;
using qpktest::file;
using qpktest::pkgInfo;

TEST(ReadFrom, readsMetadataAndKeepsThePath) {
  qpktest::TempDir dir;
  std::string path = dir / "a.qpk";
  ASSERT_TRUE(qpktest::writeFile(path, buildQpk(pkgInfo("a", "2", {"base"}), {file("x", "y")})));
  PackageFile p;
  ASSERT_TRUE(p.readFrom(path));
  EXPECT_EQ(path, p.path);
  EXPECT_EQ("a-2", p.getFullName());
  ASSERT_EQ(1u, p.depends.size());
  EXPECT_EQ("base", p.depends[0].name);
}

TEST(ReadFrom, stopsAtPkgInfoSoALaterCorruptionDoesNotMatter) {
  qpktest::TempDir dir;
  std::string bytes = buildQpk(pkgInfo("a"), {file("big", std::string(200000, 'z'))});
  bytes[bytes.size() - 6] ^= 1;  // the CRC-32 in the trailer
  ASSERT_TRUE(qpktest::writeFile(dir / "a.qpk", bytes));
  PackageFile p;
  EXPECT_TRUE(p.readFrom(dir / "a.qpk"));
}

TEST(ReadFrom, failsOnUnreadableFilesAndKeepsThePathAnyway) {
  qpktest::TempDir dir;
  PackageFile p;
  p.name = "stale";
  EXPECT_FALSE(p.readFrom(dir / "missing.qpk"));
  EXPECT_EQ(dir / "missing.qpk", p.path);
  EXPECT_EQ("", p.getFullName());
  ASSERT_TRUE(qpktest::writeFile(dir / "text.qpk", "just text\n"));
  EXPECT_FALSE(p.readFrom(dir / "text.qpk"));
  ASSERT_TRUE(qpktest::writeFile(dir / "nopkginfo.qpk", qpktest::gzipOf(std::string(1024, '\0'))));
  EXPECT_FALSE(p.readFrom(dir / "nopkginfo.qpk"));
  std::string good = buildQpk(pkgInfo("a"), {});
  for (size_t cut = 0; cut < 40 && cut < good.size(); ++cut) {
    ASSERT_TRUE(qpktest::writeFile(dir / "cut.qpk", good.substr(0, cut)));
    EXPECT_FALSE(p.readFrom(dir / "cut.qpk")) << cut;
  }
}

struct Pkg {
  const char* name;
  std::vector<std::string> depends;
};

std::string sorted(const std::vector<Pkg>& input, bool reverse = false) {
  std::vector<PackageInfo> infos(input.size());
  std::list<PackageInfo*> list;
  for (size_t i = 0; i < input.size(); ++i) {
    infos[i].name = input[i].name;
    infos[i].version = "1";
    for (const std::string& d : input[i].depends) infos[i].depends.push_back(PackageDep(d));
    list.push_back(&infos[i]);
  }
  Repo::getRepo()->sortPackages(list, reverse, true);
  std::string out;
  for (PackageInfo* p : list) out += (out.empty() ? "" : " ") + p->name;
  return out;
}

TEST(SortPackages, putsEveryPackageAfterItsDependencies) {
  EXPECT_EQ(
      "base libc net app",
      sorted({{"app", {"net", "libc"}}, {"net", {"libc"}}, {"libc", {"base"}}, {"base", {}}}));
}

TEST(SortPackages, keepsTheGivenOrderWhereDependenciesAllow) {
  EXPECT_EQ("c a b d", sorted({{"c", {}}, {"a", {}}, {"b", {}}, {"d", {}}}));
  EXPECT_EQ("c a x b", sorted({{"c", {}}, {"a", {}}, {"b", {"x"}}, {"x", {}}}));
  // Dependencies outside the list are ignored.
  EXPECT_EQ("b a", sorted({{"b", {"zzz"}}, {"a", {"zzz"}}}));
}

TEST(SortPackages, breaksCyclesDeterministically) {
  std::vector<Pkg> cycle = {{"x", {}}, {"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}};
  std::string first = sorted(cycle);
  EXPECT_EQ("x a c b d", first);
  EXPECT_EQ(first, sorted(cycle));
  EXPECT_EQ("a", sorted({{"a", {"a"}}}));
}

TEST(SortPackages, reverseGivesTheRemovalOrder) {
  EXPECT_EQ("app libc", sorted({{"app", {"libc"}}, {"libc", {}}}, true));
}

TEST(SortPackages, manyPackagesStayOrdered) {
  std::vector<Pkg> chain;
  for (int i = 0; i < 500; ++i) {
    Pkg p{nullptr, {}};
    chain.push_back(p);
  }
  std::vector<std::string> names(500);
  for (int i = 0; i < 500; ++i) {
    names[static_cast<size_t>(i)] = "p" + std::to_string(i);
    chain[static_cast<size_t>(i)].name = names[static_cast<size_t>(i)].c_str();
    if (i > 0)
      chain[static_cast<size_t>(i)].depends.push_back("p" +
                                                      std::to_string(i + 1 == 500 ? 0 : i + 1));
  }
  std::string out = sorted(chain);
  EXPECT_EQ(0u, out.find("p0 p499 p498"));
}

}  // namespace
