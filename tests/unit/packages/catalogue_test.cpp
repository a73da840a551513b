// The package catalogue on real package directories: which files are read, the menu order with
// the front packages, lookups by name, the fatal messages and the install order of a selection.
#include "packages/catalogue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/pty_harness.h"
#include "support/qpk_builder.h"
#include "support/scratch_dir.h"

namespace {

using Names = std::vector<std::string>;

struct Catalogue {
  void add(const std::string& fileName, const std::string& name, Names depends = {}) {
    TestPackage package;
    package.name = name;
    package.depends = depends;
    EXPECT_TRUE(writeTestPackage(dir.file(fileName), package));
  }
  // Scans the directory, checking the result; returns what the scan printed.
  std::string scan(bool expected, const std::string& directory = "") {
    bool result = !expected;
    std::string path = directory.empty() ? dir.path() : directory;
    std::string printed = captureStdout([&] { result = scanPackages(menu, path.c_str()); });
    EXPECT_EQ(result, expected);
    return printed;
  }
  Names order() const {
    Names names;
    for (const SelectablePackage* package : menu.entries) names.push_back(package->name);
    return names;
  }

  ScratchDir dir;
  PackageMenu menu;
};

TEST(Catalogue, frontPackagesTakeTheirPlacesAndTheRestSortAsBytes) {
  const struct {
    Names created;  // package names in the order their files are made: <name>-<n>.qpk
    Names menu;
  } cases[] = {
      {{"a", "b", "dhcp", "ppp", "system"}, {"system", "ppp", "dhcp", "a", "b"}},
      {{"ppp", "a", "system", "b", "dhcp"}, {"system", "ppp", "dhcp", "a", "b"}},
      // Without system the others keep their own positions; beyond the end they go last.
      {{"dhcp", "b", "ppp", "a"}, {"a", "ppp", "dhcp", "b"}},
      {{"dhcp", "a"}, {"a", "dhcp"}},
      {{"b", "B", "a1", "a", "Z", "_x"}, {"B", "Z", "_x", "a", "a1", "b"}},
      {{"ppp", "ppp", "system"}, {"system", "ppp", "ppp"}},
  };
  for (const auto& c : cases) {
    Catalogue catalogue;
    for (size_t i = 0; i < c.created.size(); ++i) {
      catalogue.add(c.created[i] + "-" + std::to_string(i) + ".qpk", c.created[i]);
    }
    EXPECT_EQ(catalogue.scan(true), "");
    EXPECT_EQ(catalogue.order(), c.menu);
  }
}

TEST(Catalogue, onlyNamesEndingInLowerCaseQpkAreReadAndOnlyTheirMetadata) {
  Catalogue catalogue;
  TestPackage system;
  system.name = "system";
  system.files = {{"big", std::string(100000, 'z')}};
  std::string bytes = buildTestPackage(system);
  bytes[bytes.size() - 6] ^= 1;  // the gzip trailer's CRC-32: only the metadata is read
  ASSERT_TRUE(writeBytes(catalogue.dir.file("system.qpk"), bytes));
  catalogue.add(".qpk", "hidden");  // the whole name is the suffix: still a package file
  catalogue.add("x.QPK", "upper");
  catalogue.add("qpk", "short");
  catalogue.add("x.qpk.bak", "backup");
  ASSERT_TRUE(writeBytes(catalogue.dir.file("defpacks"), "ppp\nsystem\n"));  // not read
  catalogue.scan(true);
  EXPECT_EQ(catalogue.order(), (Names{"system", "hidden"}));
  EXPECT_EQ(catalogue.menu.entries[1]->path, catalogue.dir.file(".qpk"));
}

TEST(Catalogue, noPackageOrAnUnreadableOneIsFatalAndNamed) {
  Catalogue catalogue;
  const std::string none = "FATAL ERROR: No packages found\n";
  EXPECT_EQ(catalogue.scan(false), none);
  EXPECT_EQ(catalogue.scan(false, catalogue.dir.file("nowhere")), none);
  ASSERT_TRUE(writeBytes(catalogue.dir.file("readme.txt"), "only text\n"));
  EXPECT_EQ(catalogue.scan(false), none);
  EXPECT_TRUE(catalogue.menu.entries.empty());

  for (const char* name : {"a", "b", "c", "d", "e", "f"})
    catalogue.add(name + std::string(".qpk"), name);
  catalogue.add("bad.qpk", "cut");  // then cut inside its .PKGINFO
  ASSERT_EQ(0, truncate(catalogue.dir.file("bad.qpk").c_str(), 40));
  Names listed;  // the directory's order, as readdir gives it
  for (const auto& entry : std::filesystem::directory_iterator(catalogue.dir.path())) {
    if (entry.path().extension() == ".qpk") listed.push_back(entry.path().filename());
  }
  size_t badAt = std::find(listed.begin(), listed.end(), "bad.qpk") - listed.begin();
  EXPECT_EQ(catalogue.scan(false),
            "FATAL ERROR: Bad package " + catalogue.dir.file("bad.qpk") + "\n");
  // Every package before it was read; the failed record stays last; nothing after it was read.
  ASSERT_EQ(catalogue.menu.entries.size(), badAt + 1);
  for (size_t i = 0; i < badAt; ++i) EXPECT_EQ(catalogue.menu.entries[i]->name + ".qpk", listed[i]);
  EXPECT_EQ(catalogue.menu.entries[badAt]->path, catalogue.dir.file("bad.qpk"));
}

TEST(Catalogue, findsWholeNamesAndCollectsTheSelectionInDependencyOrder) {
  Catalogue catalogue;
  catalogue.add("system.qpk", "system");
  catalogue.add("ppp.qpk", "ppp", {"system"});
  catalogue.add("alpha.qpk", "alpha", {"zeta", "ppp"});
  catalogue.add("zeta.qpk", "zeta", {"system"});
  catalogue.add("unused.qpk", "unused");
  catalogue.add("ppp-extra.qpk", "ppp-extra");
  catalogue.add("ppp2.qpk", "ppp");
  catalogue.scan(true);
  PackageMenu& menu = catalogue.menu;
  ASSERT_EQ(catalogue.order(),
            (Names{"system", "ppp", "alpha", "ppp", "ppp-extra", "unused", "zeta"}));
  EXPECT_EQ(findPackage(menu, "system"), 0);
  EXPECT_EQ(findPackage(menu, "ppp"), 1);  // the first of two
  EXPECT_EQ(findPackage(menu, "ppp-extra"), 4);
  for (const char* absent : {"System", "pp", ""}) EXPECT_EQ(findPackage(menu, absent), -1);

  PackageFile stale;
  std::list<PackageFile*> out{&stale};
  collectSelected(menu, out);
  EXPECT_TRUE(out.empty());  // nothing selected yet: the old contents are gone too
  for (unsigned i : {0, 1, 2, 6}) menu.entries[i]->selected = true;
  collectSelected(menu, out);
  Names installOrder;
  for (PackageFile* package : out) {
    installOrder.push_back(package->name);
    EXPECT_NE(std::find(menu.entries.begin(), menu.entries.end(), package), menu.entries.end());
  }
  EXPECT_EQ(installOrder, (Names{"system", "ppp", "zeta", "alpha"}));
}

}  // namespace
