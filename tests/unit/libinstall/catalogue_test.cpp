// Catalogue calls: readFrom reads a package file's metadata only, and sortPackages orders by
// dependencies, keeps the given order otherwise, and breaks cycles the same way every time.
#include <gtest/gtest.h>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

TEST(ReadFrom, readsOnlyTheMetadataSoALaterCorruptionDoesNotMatter) {
  ScratchDir dir;
  std::string bytes =
      buildQpk(pkgInfo("a", "2", {"base"}), {file("big", std::string(200000, 'z'))});
  bytes[bytes.size() - 6] ^= 1;  // the CRC-32 in the trailer
  ASSERT_TRUE(writeFile(dir.file("a.qpk"), bytes));
  PackageFile p;
  ASSERT_TRUE(p.readFrom(dir.file("a.qpk")));
  EXPECT_EQ(dir.file("a.qpk"), p.path);
  EXPECT_EQ("a-2", p.getFullName());
  ASSERT_EQ(1u, p.depends.size());
  EXPECT_EQ("base", p.depends[0].name);
}

TEST(ReadFrom, failsOnUnreadableFilesAndKeepsThePathAnyway) {
  ScratchDir dir;
  PackageFile p;
  p.name = "stale";
  EXPECT_FALSE(p.readFrom(dir.file("missing.qpk")));
  EXPECT_EQ(dir.file("missing.qpk"), p.path);
  EXPECT_EQ("", p.getFullName());
  std::string good = buildQpk(pkgInfo("a"), {});
  std::vector<std::string> bad = {"just text\n", gzipOf(std::string(1024, '\0'))};
  for (size_t cut = 0; cut < 40; ++cut) bad.push_back(good.substr(0, cut));
  for (const std::string& bytes : bad) {
    ASSERT_TRUE(writeFile(dir.file("bad.qpk"), bytes));
    EXPECT_FALSE(p.readFrom(dir.file("bad.qpk"))) << bytes.size() << " bytes";
  }
}

// Sorts packages given as (name, depends) pairs; the resulting order as space-separated names.
std::string sorted(const std::vector<std::pair<std::string, std::vector<std::string>>>& input,
                   bool reverse = false) {
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
}

TEST(SortPackages, ordersByDependenciesKeepingTheGivenOrderWhereAllowed) {
  EXPECT_EQ(
      "base libc net app",
      sorted({{"app", {"net", "libc"}}, {"net", {"libc"}}, {"libc", {"base"}}, {"base", {}}}));
  EXPECT_EQ("c a b d", sorted({{"c", {}}, {"a", {}}, {"b", {}}, {"d", {}}}));
  EXPECT_EQ("c a x b", sorted({{"c", {}}, {"a", {}}, {"b", {"x"}}, {"x", {}}}));
  EXPECT_EQ("b a", sorted({{"b", {"zzz"}}, {"a", {"zzz"}}}));  // outside the list: ignored
  EXPECT_EQ("app libc", sorted({{"app", {"libc"}}, {"libc", {}}}, true));
}

TEST(SortPackages, breaksCyclesDeterministically) {
  EXPECT_EQ("x a c b d",
            sorted({{"x", {}}, {"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}}));
  EXPECT_EQ("a", sorted({{"a", {"a"}}}));
  // A long ring: p_i needs p_(i+1), the last needs p0; no recursion limit or quadratic blow-up.
  std::vector<std::pair<std::string, std::vector<std::string>>> ring;
  for (int i = 0; i < 500; ++i) {
    ring.push_back({"p" + std::to_string(i), {}});
    if (i > 0) ring.back().second.push_back("p" + std::to_string(i + 1 == 500 ? 0 : i + 1));
  }
  EXPECT_EQ(0u, sorted(ring).find("p0 p499 p498"));
}

}  // namespace
