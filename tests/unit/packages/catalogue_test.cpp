// The package catalogue on real package directories: which files are read, the menu order with
// the front packages, lookups by name, the fatal messages and the install order of a selection.
#include "packages/catalogue.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/package_builder.h"
#include "support/pty_harness.h"
#include "support/scratch_dir.h"

namespace {

using Names = std::vector<std::string>;

class CatalogueTest : public ::testing::Test {
 protected:
  void addPackage(const std::string& fileName, const std::string& name, Names depends = {}) {
    TestPackage package;
    package.name = name;
    package.depends = depends;
    ASSERT_TRUE(writeTestPackage(dir_.file(fileName), package));
  }
  // Scans the directory into menu_, checking the result; returns what the scan printed.
  std::string scan(bool expected, const std::string& directory = "") {
    bool result = !expected;
    std::string path = directory.empty() ? dir_.path() : directory;
    std::string printed = captureStdout([&] { result = scanPackages(menu_, path.c_str()); });
    EXPECT_EQ(result, expected);
    return printed;
  }
  Names order() const {
    Names names;
    for (const SelectablePackage* package : menu_.entries) names.push_back(package->name);
    return names;
  }

  ScratchDir dir_;
  PackageMenu menu_;
};

struct OrderCase {
  Names created;  // package names in the order their files are made: <name>-<n>.qpk
  Names menu;
};

class MenuOrder : public CatalogueTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(MenuOrder, frontPackagesTakeTheirPlacesAndTheRestSortAsBytes) {
  for (size_t i = 0; i < GetParam().created.size(); ++i) {
    addPackage(GetParam().created[i] + "-" + std::to_string(i) + ".qpk", GetParam().created[i]);
  }
  EXPECT_EQ(scan(true), "");
  EXPECT_EQ(order(), GetParam().menu);
  for (const SelectablePackage* package : menu_.entries) EXPECT_FALSE(package->selected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MenuOrder,
    ::testing::Values(
        OrderCase{{"a", "b", "dhcp", "ppp", "system"}, {"system", "ppp", "dhcp", "a", "b"}},
        OrderCase{{"system", "ppp", "dhcp", "b", "a"}, {"system", "ppp", "dhcp", "a", "b"}},
        OrderCase{{"ppp", "a", "system", "b", "dhcp"}, {"system", "ppp", "dhcp", "a", "b"}},
        // Without system the others keep their own positions; beyond the end they go last.
        OrderCase{{"dhcp", "b", "ppp", "a"}, {"a", "ppp", "dhcp", "b"}},
        OrderCase{{"dhcp", "a"}, {"a", "dhcp"}},
        OrderCase{{"b", "B", "a1", "a", "Z", "_x"}, {"B", "Z", "_x", "a", "a1", "b"}},
        OrderCase{{"ppp", "ppp", "system"}, {"system", "ppp", "ppp"}}));

TEST_F(CatalogueTest, OnlyNamesEndingInLowerCaseQpkAreRead) {
  addPackage("system.qpk", "system");
  addPackage(".qpk", "hidden");  // the whole name is the suffix: still a package file
  addPackage("x.QPK", "upper");
  addPackage("qpk", "short");
  addPackage("x.qpk.bak", "backup");
  ASSERT_TRUE(writeBytes(dir_.file("defpacks"), "ppp\nsystem\n"));  // not read: nothing selected
  scan(true);
  EXPECT_EQ(order(), (Names{"system", "hidden"}));
  EXPECT_EQ(menu_.entries[1]->path, dir_.file(".qpk"));
}

TEST_F(CatalogueTest, EmptyOrMissingDirectoryReportsNoPackagesOnce) {
  const std::string message = "FATAL ERROR: No packages found\n";
  EXPECT_EQ(scan(false), message);
  ASSERT_TRUE(writeBytes(dir_.file("readme.txt"), "only text\n"));
  EXPECT_EQ(scan(false), message);
  EXPECT_EQ(scan(false, dir_.file("nowhere")), message);
  EXPECT_TRUE(menu_.entries.empty());
}

TEST_F(CatalogueTest, UnreadablePackageStopsTheScanAndIsNamed) {
  for (const char* name : {"a", "b", "c", "d", "e", "f"})
    addPackage(name + std::string(".qpk"), name);
  ASSERT_TRUE(writeBytes(dir_.file("bad.qpk"), "this is not a gzip member at all"));
  Names listed;  // the directory's order, as readdir gives it
  DIR* d = opendir(dir_.path().c_str());
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') listed.push_back(entry->d_name);
  }
  closedir(d);
  size_t badAt = std::find(listed.begin(), listed.end(), "bad.qpk") - listed.begin();

  EXPECT_EQ(scan(false), "FATAL ERROR: Bad package " + dir_.file("bad.qpk") + "\n");
  // Every package before it was read; the failed record stays last; nothing after it was read.
  ASSERT_EQ(menu_.entries.size(), badAt + 1);
  for (size_t i = 0; i < badAt; ++i) EXPECT_EQ(menu_.entries[i]->name + ".qpk", listed[i]);
  EXPECT_EQ(menu_.entries[badAt]->path, dir_.file("bad.qpk"));
}

TEST_F(CatalogueTest, FindPackageComparesWholeNamesAndFindsTheFirst) {
  int n = 0;
  for (const char* name : {"system", "ppp", "ppp-extra", "ppp"}) {
    addPackage(name + std::to_string(n++) + ".qpk", name);
  }
  scan(true);
  EXPECT_EQ(findPackage(menu_, "system"), 0);
  EXPECT_EQ(findPackage(menu_, "ppp"), 1);
  EXPECT_EQ(findPackage(menu_, "ppp-extra"), 3);
  for (const char* absent : {"System", "pp", ""}) EXPECT_EQ(findPackage(menu_, absent), -1);
  PackageMenu empty;
  EXPECT_EQ(findPackage(empty, "system"), -1);
}

TEST_F(CatalogueTest, SelectionIsCollectedInDependencyOrderSharingTheRecords) {
  addPackage("system.qpk", "system");
  addPackage("ppp.qpk", "ppp", {"system"});
  addPackage("alpha.qpk", "alpha", {"zeta", "ppp"});
  addPackage("zeta.qpk", "zeta", {"system"});
  addPackage("unused.qpk", "unused");
  scan(true);
  ASSERT_EQ(order(), (Names{"system", "ppp", "alpha", "unused", "zeta"}));
  PackageFile stale;
  std::list<PackageFile*> out{&stale};
  collectSelected(menu_, out);
  EXPECT_TRUE(out.empty());  // nothing selected yet: the old contents are gone too

  for (SelectablePackage* package : menu_.entries) package->selected = package->name != "unused";
  collectSelected(menu_, out);
  Names installOrder;
  for (PackageFile* package : out) {
    installOrder.push_back(package->name);
    EXPECT_NE(std::find(menu_.entries.begin(), menu_.entries.end(), package), menu_.entries.end());
  }
  EXPECT_EQ(installOrder, (Names{"system", "ppp", "zeta", "alpha"}));
}

}  // namespace
