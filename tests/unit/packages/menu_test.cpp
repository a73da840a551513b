// The package menu's rules and drawing without a terminal: how selection follows dependencies,
// the selection helpers, and the bytes of an entry and of the information area. The keys and
// the whole screen are checked on a real terminal in tests/menu.
#include "packages/menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pty_harness.h"

namespace {

class MenuRules : public ::testing::Test {
 protected:
  void TearDown() override {
    for (SelectablePackage* package : menu.entries) delete package;
  }
  void add(const std::string& name, std::vector<std::string> depends = {},
           const std::string& description = "") {
    menu.entries.push_back(new SelectablePackage);
    menu.entries.back()->name = name;
    menu.entries.back()->description = description;
    for (const std::string& dependency : depends)
      menu.entries.back()->depends.emplace_back(dependency);
  }
  // Toggles each index in turn and returns the selected names; toggling draws nothing.
  std::string toggled(std::vector<unsigned> indexes) {
    EXPECT_EQ(captureStdout([&] {
                for (unsigned index : indexes) togglePackage(menu, index);
              }),
              "");
    std::string names;
    for (const SelectablePackage* package : menu.entries) {
      if (package->selected) names += (names.empty() ? "" : ",") + package->name;
    }
    return names;
  }
  std::string drawn(unsigned index) {
    return captureStdout([&] { drawEntry(menu, index); });
  }

  PackageMenu menu;
  const std::string infoErase =
      "\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H";
};

TEST_F(MenuRules, selectAllAndMinimumChangeFlagsAndDrawNothing) {
  add("system");
  add("ppp", {"system"});
  add("system");  // a second record with the minimum package's name is chosen too
  EXPECT_EQ(captureStdout([&] { selectAll(menu); }), "");
  EXPECT_EQ(toggled({}), "system,ppp,system");
  EXPECT_EQ(captureStdout([&] { selectMinimum(menu); }), "");
  EXPECT_EQ(toggled({}), "system,system");
}

TEST_F(MenuRules, selectingFollowsDependenciesRecursivelyDeselectingOnlyDirectDependants) {
  add("system");
  add("ppp", {"system"});
  add("web", {"lib", "ghost", "ppp"});
  add("lib", {"base"});
  add("base");
  add("site", {"web"});
  EXPECT_EQ(toggled({5}), "system,ppp,web,lib,base,site");
  EXPECT_EQ(toggled({1}), "system,lib,base,site");  // web goes with ppp; site needing web stays
}

TEST_F(MenuRules, dependencyCycleEnds) {
  add("a", {"b"});
  add("b", {"c"});
  add("c", {"a", "c"});
  EXPECT_EQ(toggled({0}), "a,b,c");
  EXPECT_EQ(toggled({1}), "c");  // b off, and a which requires it; c requires only a and c
}

TEST_F(MenuRules, minimumPackageIsProtectedOnlyFromADirectToggle) {
  add("system", {"kernel"});
  add("kernel");
  selectMinimum(menu);
  EXPECT_EQ(toggled({0}), "system");
  EXPECT_EQ(toggled({1, 1, 7}), "");  // kernel on, then off with system; 7 is past the end
}

TEST_F(MenuRules, entriesAreDrawnInTheirColumnWithTheCurrentOneReversed) {
  for (int i = 0; i < 7; ++i) add("pkg" + std::to_string(i));
  menu.rowsPerColumn = 3;
  menu.cursor = 4;
  menu.entries[6]->selected = true;
  menu.entries[1]->name = "a\x1b[2Jb";  // names come from the medium
  EXPECT_EQ(drawn(6), "\x1b[7;52H  [X] pkg6 ");
  EXPECT_EQ(drawn(4), "\x1b[8;26H \x1b[m\x1b[7m [ ] pkg4 \x1b[m");
  EXPECT_EQ(drawn(1), "\x1b[8;0H  [ ] a?[2Jb ");
  EXPECT_EQ(drawn(7), "");
}

TEST_F(MenuRules, longNamesRunOnButStopAtTheScreenEdge) {
  std::string longName(40, 'n');
  add(longName);
  add("b");
  add(longName);
  menu.rowsPerColumn = 1;
  menu.cursor = 1;
  EXPECT_EQ(drawn(0), "\x1b[7;0H  [ ] " + longName + " ");
  EXPECT_EQ(drawn(2), "\x1b[7;52H  [ ] " + std::string(22, 'n') + " ");
}

TEST_F(MenuRules, informationAreaNamesDependenciesAndKeepsToItsThreeRows) {
  std::string words, lines[3];
  for (int i = 0; i < 60; ++i) {
    std::string word = "w" + std::to_string(100000 + i) + " ";  // 9 words to a line
    words += word;
    if (i < 27) lines[i / 9] += word;
  }
  add("ppp", {"system", "modem"}, "Dial-up\tlinks\x1b[2J over serial lines");
  add("system");
  add("long", {}, words);
  add("cut", {}, std::string(100, 'x') + " tail");
  const std::string expected[] = {
      "ppp (depends on system, modem):\nDial-up links [2J over serial lines \n",
      "system (depends on nothing):\n\n",
      "long (depends on nothing):\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n",
      "cut (depends on nothing):\n" + std::string(77, 'x') + " \ntail \n"};
  for (menu.cursor = 0; menu.cursor < 4; ++menu.cursor) {
    EXPECT_EQ(captureStdout([&] { drawInfo(menu); }), infoErase + expected[menu.cursor]);
  }
}

}  // namespace
