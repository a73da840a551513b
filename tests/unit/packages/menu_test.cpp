// Selection rules and drawing of the package menu without a terminal: dependency propagation
// on toggling, the selection helpers, and the bytes of an entry and of the information area.
#include "packages/menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pty_harness.h"

namespace {

class MenuRulesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (SelectablePackage* package : menu.entries) delete package;
  }

  SelectablePackage* add(const std::string& name, std::vector<std::string> depends = {},
                         const std::string& description = "") {
    SelectablePackage* package = new SelectablePackage;
    package->name = name;
    package->version = "1";
    package->description = description;
    for (const std::string& dependency : depends)
      package->depends.push_back(PackageDep(dependency));
    menu.entries.push_back(package);
    return package;
  }

  std::string selected() const {
    std::string names;
    for (const SelectablePackage* package : menu.entries) {
      if (package->selected) names += (names.empty() ? "" : ",") + package->name;
    }
    return names;
  }

  PackageMenu menu;
};

TEST_F(MenuRulesTest, SelectAllAndMinimumChangeFlagsAndDrawNothing) {
  add("system");
  add("ppp", {"system"});
  add("system");  // a second record with the minimum package's name is chosen too
  EXPECT_EQ(captureStdout([&] { selectAll(menu); }), "");
  EXPECT_EQ(selected(), "system,ppp,system");
  EXPECT_EQ(captureStdout([&] { selectMinimum(menu); }), "");
  EXPECT_EQ(selected(), "system,system");
}

TEST_F(MenuRulesTest, SelectingFollowsDependenciesRecursivelyDeselectingOnlyDirectDependants) {
  add("system");
  add("ppp", {"system"});
  add("web", {"lib", "ghost", "ppp"});
  add("lib", {"base"});
  add("base");
  add("site", {"web"});
  EXPECT_EQ(captureStdout([&] { togglePackage(menu, 5); }), "");
  EXPECT_EQ(selected(), "system,ppp,web,lib,base,site");
  // Deselecting reaches direct dependants only: web goes with ppp, site (needing web) stays.
  EXPECT_EQ(captureStdout([&] { togglePackage(menu, 1); }), "");
  EXPECT_EQ(selected(), "system,lib,base,site");
}

TEST_F(MenuRulesTest, DependencyCycleEnds) {
  add("a", {"b"});
  add("b", {"c"});
  add("c", {"a", "c"});
  togglePackage(menu, 0);
  EXPECT_EQ(selected(), "a,b,c");
  togglePackage(menu, 1);  // b off, and a which requires it; c requires only a and c
  EXPECT_EQ(selected(), "c");
}

TEST_F(MenuRulesTest, MinimumPackageIsProtectedOnlyFromADirectToggle) {
  add("system", {"kernel"});
  add("kernel");
  selectMinimum(menu);
  togglePackage(menu, 0);
  EXPECT_EQ(selected(), "system");
  togglePackage(menu, 1);  // selects kernel
  togglePackage(menu, 1);  // deselects kernel and system, which requires it
  EXPECT_EQ(selected(), "");
  togglePackage(menu, 7);  // past the end: nothing
  EXPECT_EQ(selected(), "");
}

TEST_F(MenuRulesTest, EntriesAreDrawnInTheirColumnWithTheCurrentOneReversed) {
  for (int i = 0; i < 7; ++i) add("pkg" + std::to_string(i));
  menu.rowsPerColumn = 3;
  menu.cursor = 4;
  menu.entries[6]->selected = true;
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 6); }), "\x1b[7;52H  [X] pkg6 ");
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 4); }), "\x1b[8;26H \x1b[m\x1b[7m [ ] pkg4 \x1b[m");
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 2); }), "\x1b[9;0H  [ ] pkg2 ");
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 7); }), "");
}

TEST_F(MenuRulesTest, LongNamesRunOnButStopAtTheScreenEdge) {
  std::string longName(40, 'n');
  add(longName);
  add("b");
  add(longName);
  menu.rowsPerColumn = 1;
  menu.cursor = 1;
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 0); }), "\x1b[7;0H  [ ] " + longName + " ");
  EXPECT_EQ(captureStdout([&] { drawEntry(menu, 2); }),
            "\x1b[7;52H  [ ] " + std::string(22, 'n') + " ");
}

TEST_F(MenuRulesTest, InformationAreaNamesDependenciesAndErasesItsRows) {
  add("ppp", {"system", "modem"}, "Dial-up\tlinks\x1b[2J over serial lines");
  add("system");
  menu.rowsPerColumn = 1;
  const std::string erase =
      "\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H";
  EXPECT_EQ(captureStdout([&] { drawInfo(menu); }),
            erase + "ppp (depends on system, modem):\nDial-up links [2J over serial lines \n");
  menu.cursor = 1;
  EXPECT_EQ(captureStdout([&] { drawInfo(menu); }), erase + "system (depends on nothing):\n\n");
}

}  // namespace
