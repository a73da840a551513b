// The package catalogue on real package directories: which files are read, the menu order with
// the front packages, lookups by name, the fatal messages and the install order of a selection.
#include "packages/catalogue.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/package_builder.h"
#include "support/pty_harness.h"

namespace {

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/catalogue_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  void addPackage(const std::string& fileName, const std::string& name,
                  std::vector<std::string> depends = {}, const std::string& version = "1.0") {
    TestPackage package;
    package.name = name;
    package.version = version;
    package.description = "about " + name;
    package.depends = depends;
    ASSERT_TRUE(writeTestPackage(dir + "/" + fileName, package));
  }

  // Scans `dir` into `menu`, returning what the scan printed.
  std::string scan(bool expected) {
    bool result = !expected;
    std::string printed = captureStdout([&] { result = scanPackages(menu, dir.c_str()); });
    EXPECT_EQ(result, expected);
    return printed;
  }

  std::vector<std::string> order() const {
    std::vector<std::string> names;
    for (const SelectablePackage* package : menu.entries) names.push_back(package->name);
    return names;
  }

  // The names of the directory's entries in the order readdir yields them.
  std::vector<std::string> directoryOrder() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* entry = readdir(d)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(d);
    return names;
  }

  std::string dir;
  PackageMenu menu;
};

using Names = std::vector<std::string>;

TEST_F(CatalogueTest, NewMenuAndPackagesStartEmptyAndUnselected) {
  EXPECT_TRUE(menu.entries.empty());
  EXPECT_EQ(menu.cursor, 0u);
  SelectablePackage package;
  EXPECT_FALSE(package.selected);
}

TEST_F(CatalogueTest, FrontPackagesComeFirstWhateverTheDirectoryOrder) {
  const Names creationOrders[] = {{"a", "b", "dhcp", "ppp", "system"},
                                  {"system", "ppp", "dhcp", "b", "a"},
                                  {"ppp", "a", "system", "b", "dhcp"}};
  for (const Names& creation : creationOrders) {
    TearDown();
    SetUp();
    menu = PackageMenu();
    for (const std::string& name : creation) addPackage(name + ".qpk", name);
    EXPECT_EQ(scan(true), "");
    EXPECT_EQ(order(), (Names{"system", "ppp", "dhcp", "a", "b"}));
  }
}

TEST_F(CatalogueTest, MissingSystemLeavesOtherFrontPackagesAtTheirOwnPositions) {
  for (const char* name : {"dhcp", "b", "ppp", "a"}) addPackage(std::string(name) + ".qpk", name);
  scan(true);
  EXPECT_EQ(order(), (Names{"a", "ppp", "dhcp", "b"}));
}

TEST_F(CatalogueTest, FrontPackageBeyondTheLastEntryGoesLast) {
  addPackage("dhcp.qpk", "dhcp");
  addPackage("a.qpk", "a");
  scan(true);
  EXPECT_EQ(order(), (Names{"a", "dhcp"}));

  TearDown();
  SetUp();
  menu = PackageMenu();
  addPackage("dhcp.qpk", "dhcp");
  scan(true);
  EXPECT_EQ(order(), (Names{"dhcp"}));
}

TEST_F(CatalogueTest, NamesSortAsBytesNotAsTextOfTheLocale) {
  for (const char* name : {"b", "B", "a1", "a", "Z", "_x"}) {
    addPackage(std::string(name) + "-file.qpk", name);
  }
  scan(true);
  EXPECT_EQ(order(), (Names{"B", "Z", "_x", "a", "a1", "b"}));
}

TEST_F(CatalogueTest, OnlyNamesEndingInLowerCaseQpkAreRead) {
  addPackage("system.qpk", "system");
  addPackage(".qpk", "hidden");       // the whole name is the suffix: still a package file
  addPackage("x.QPK", "upper");       // wrong case
  addPackage("qpk", "short");         // three characters
  addPackage("x.qpk.bak", "backup");  // suffix not at the end
  ASSERT_TRUE(writeBytes(dir + "/readme.txt", "not a package\n"));
  ASSERT_TRUE(writeBytes(dir + "/defpacks", "ppp\nsystem\n"));
  scan(true);
  EXPECT_EQ(order(), (Names{"system", "hidden"}));
  // The defaults file is not read: nothing is selected before the menu opens.
  for (const SelectablePackage* package : menu.entries) EXPECT_FALSE(package->selected);
  EXPECT_EQ(menu.entries[0]->path, dir + "/system.qpk");
  EXPECT_EQ(menu.entries[1]->path, dir + "/.qpk");
}

TEST_F(CatalogueTest, EmptyOrMissingDirectoryReportsNoPackagesOnce) {
  EXPECT_EQ(scan(false), "FATAL ERROR: No packages found\n");
  EXPECT_TRUE(menu.entries.empty());

  ASSERT_TRUE(writeBytes(dir + "/readme.txt", "only text\n"));
  EXPECT_EQ(scan(false), "FATAL ERROR: No packages found\n");

  std::string missing = dir + "/nowhere";
  bool result = true;
  std::string printed = captureStdout([&] { result = scanPackages(menu, missing.c_str()); });
  EXPECT_FALSE(result);
  EXPECT_EQ(printed, "FATAL ERROR: No packages found\n");
}

TEST_F(CatalogueTest, UnreadablePackageStopsTheScanAndIsNamed) {
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    addPackage(std::string(name) + ".qpk", name);
  }
  ASSERT_TRUE(writeBytes(dir + "/bad.qpk", "this is not a gzip member at all"));
  Names listed = directoryOrder();
  size_t badAt = std::find(listed.begin(), listed.end(), "bad.qpk") - listed.begin();
  ASSERT_LT(badAt, listed.size());

  EXPECT_EQ(scan(false), "FATAL ERROR: Bad package " + dir + "/bad.qpk\n");
  // Every package before it was read; the failed record stays last; nothing after it was read.
  ASSERT_EQ(menu.entries.size(), badAt + 1);
  for (size_t i = 0; i < badAt; ++i) {
    EXPECT_EQ(menu.entries[i]->name + ".qpk", listed[i]);
  }
  EXPECT_EQ(menu.entries[badAt]->path, dir + "/bad.qpk");
}

TEST_F(CatalogueTest, PackageWithBrokenMetadataIsReportedByItsFileName) {
  TestPackage broken;
  broken.name = "-dash";  // not a package name the library accepts
  std::string bytes = buildTestPackage(broken);
  ASSERT_FALSE(bytes.empty());
  ASSERT_TRUE(writeBytes(dir + "/broken.qpk", bytes));
  std::string printed = scan(false);
  EXPECT_EQ(printed.rfind("FATAL ERROR: Bad package ", 0), 0u) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
  EXPECT_EQ(menu.entries.size(), 1u);
}

TEST_F(CatalogueTest, DuplicateNamesAreBothListedAndLookupsFindTheFirst) {
  addPackage("ppp-1.qpk", "ppp", {}, "1");
  addPackage("ppp-2.qpk", "ppp", {}, "2");
  addPackage("system.qpk", "system");
  scan(true);
  EXPECT_EQ(order(), (Names{"system", "ppp", "ppp"}));
  EXPECT_EQ(findPackage(menu, "ppp"), 1);
}

TEST_F(CatalogueTest, FindPackageComparesWholeNamesExactly) {
  for (const char* name : {"system", "ppp", "ppp-extra"}) {
    addPackage(std::string(name) + ".qpk", name);
  }
  scan(true);
  EXPECT_EQ(findPackage(menu, "system"), 0);
  EXPECT_EQ(findPackage(menu, "ppp-extra"), 2);
  EXPECT_EQ(findPackage(menu, "System"), -1);
  EXPECT_EQ(findPackage(menu, "pp"), -1);
  EXPECT_EQ(findPackage(menu, ""), -1);
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
  for (SelectablePackage* package : menu.entries) package->selected = package->name != "unused";

  std::list<PackageFile*> out;
  collectSelected(menu, out);
  Names installOrder;
  for (PackageFile* package : out) {
    installOrder.push_back(package->name);
    EXPECT_NE(std::find(menu.entries.begin(), menu.entries.end(), package), menu.entries.end());
  }
  EXPECT_EQ(installOrder, (Names{"system", "ppp", "zeta", "alpha"}));
  EXPECT_EQ(out.back()->path, dir + "/alpha.qpk");
}

TEST_F(CatalogueTest, CollectingNothingSelectedEmptiesTheList) {
  addPackage("system.qpk", "system");
  scan(true);
  PackageFile stale;
  std::list<PackageFile*> out{&stale, &stale};
  collectSelected(menu, out);
  EXPECT_TRUE(out.empty());
}

}  // namespace
