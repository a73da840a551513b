// The package menu's rules and drawing without a terminal: how selection follows dependencies,
// the selection helpers, and the bytes of an entry and of the information area. The keys and
// the whole screen are checked on a real terminal in tests/menu.
#include "packages/menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pty_harness.h"

namespace {

// Each package as its name followed by what it depends on.
using Packages = std::vector<std::vector<std::string>>;

struct TestMenu : PackageMenu {
  explicit TestMenu(const Packages& packages) {
    for (const std::vector<std::string>& package : packages) {
      entries.push_back(new SelectablePackage);
      entries.back()->name = package[0];
      for (size_t i = 1; i < package.size(); ++i) entries.back()->depends.emplace_back(package[i]);
    }
  }
  ~TestMenu() {
    for (SelectablePackage* package : entries) delete package;
  }
  std::string selected() const {
    std::string names;
    for (const SelectablePackage* package : entries) {
      if (package->selected) names += (names.empty() ? "" : ",") + package->name;
    }
    return names;
  }
  std::string drawn(unsigned index) {
    return captureStdout([&] { drawEntry(*this, index); });
  }
};

TEST(MenuSelection, allAndMinimumChangeFlagsAndDrawNothing) {
  TestMenu menu({{"system"}, {"ppp", "system"}, {"system"}});
  EXPECT_EQ(captureStdout([&] { selectAll(menu); }), "");
  EXPECT_EQ(menu.selected(), "system,ppp,system");
  EXPECT_EQ(captureStdout([&] { selectMinimum(menu); }), "");
  EXPECT_EQ(menu.selected(), "system,system");  // every record with the minimum's name
}

// Selecting brings what an entry depends on, recursively; deselecting takes only the direct
// dependants along; the minimum package resists only a direct toggle.
TEST(MenuSelection, togglingFollowsDependencies) {
  const Packages web = {{"system"},      {"ppp", "system"}, {"web", "lib", "ghost", "ppp"},
                        {"lib", "base"}, {"base"},          {"site", "web"}};
  const Packages cycle = {{"a", "b"}, {"b", "c"}, {"c", "a", "c"}};
  const Packages minimum = {{"system", "kernel"}, {"kernel"}};
  const struct {
    const Packages& packages;
    std::vector<unsigned> toggles;
    std::string selected;
  } cases[] = {
      {web, {5}, "system,ppp,web,lib,base,site"},
      {web, {5, 1}, "system,lib,base,site"},  // web goes with ppp; site needing web stays
      {cycle, {0}, "a,b,c"},
      {cycle, {0, 1}, "c"},  // b off, and a which requires it; c requires only a and c
      {minimum, {0, 0}, "system,kernel"},
      {minimum, {0, 1, 7}, ""},  // kernel off takes system along; 7 is past the end
  };
  for (const auto& c : cases) {
    TestMenu menu(c.packages);
    EXPECT_EQ(captureStdout([&] {
                for (unsigned index : c.toggles) togglePackage(menu, index);
              }),
              "");
    EXPECT_EQ(menu.selected(), c.selected);
  }
}

TEST(MenuDrawing, entriesStandInTheirColumnWithTheCurrentOneReversed) {
  TestMenu menu({{"pkg0"}, {"a\x1b[2Jb"}, {"pkg2"}, {"pkg3"}, {"pkg4"}, {"pkg5"}, {"pkg6"}});
  menu.rowsPerColumn = 3;
  menu.cursor = 4;
  menu.entries[6]->selected = true;
  EXPECT_EQ(menu.drawn(6), "\x1b[7;52H  [X] pkg6 ");
  EXPECT_EQ(menu.drawn(4), "\x1b[8;26H \x1b[m\x1b[7m [ ] pkg4 \x1b[m");
  EXPECT_EQ(menu.drawn(1), "\x1b[8;0H  [ ] a?[2Jb ");  // names come from the medium
  EXPECT_EQ(menu.drawn(7), "");
  // A long name may run on into the next column, but not past the screen's edge.
  TestMenu wide({{std::string(40, 'n')}, {"b"}, {std::string(40, 'n')}});
  wide.rowsPerColumn = 1;
  wide.cursor = 1;
  EXPECT_EQ(wide.drawn(0), "\x1b[7;0H  [ ] " + std::string(40, 'n') + " ");
  EXPECT_EQ(wide.drawn(2), "\x1b[7;52H  [ ] " + std::string(22, 'n') + " ");
}

TEST(MenuDrawing, informationAreaNamesDependenciesAndKeepsToItsThreeRows) {
  std::string words, lines[3];
  for (int i = 0; i < 60; ++i) {
    std::string word = "w" + std::to_string(100000 + i) + " ";  // 9 words to a line
    words += word;
    if (i < 27) lines[i / 9] += word;
  }
  TestMenu menu({{"ppp", "system", "modem"}, {"system"}, {"long"}, {"cut"}});
  menu.entries[0]->description = "Dial-up\tlinks\x1b[2J over serial lines";
  menu.entries[2]->description = words;
  menu.entries[3]->description = std::string(100, 'x') + " tail";
  const std::string erase =
      "\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H";
  const std::string expected[] = {
      "ppp (depends on system, modem):\nDial-up links [2J over serial lines \n",
      "system (depends on nothing):\n\n",
      "long (depends on nothing):\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n",
      "cut (depends on nothing):\n" + std::string(77, 'x') + " \ntail \n"};
  for (menu.cursor = 0; menu.cursor < 4; ++menu.cursor) {
    EXPECT_EQ(captureStdout([&] { drawInfo(menu); }), erase + expected[menu.cursor]);
  }
}

}  // namespace
