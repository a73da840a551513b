// The selection menu: its rules and drawing in-process, then on a real pseudo-terminal the whole
// screen byte for byte, the keys' outcomes, reopening and paging.
#include "packages/menu.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "support/pty_harness.h"

namespace {

// The information area's rows erased before each drawing.
const std::string kInfoErase =
    "\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H";

// Each package as its name followed by what it depends on.
using Packages = std::vector<std::vector<std::string>>;

struct TestMenu : PackageMenu {
  explicit TestMenu(const Packages& packages) {
    for (const std::vector<std::string>& package : packages) {
      entries.push_back(new SelectablePackage);
      entries.back()->name = package[0];
      entries.back()->description = "About " + package[0];
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

// From the minimum (every record named system): selecting brings dependencies recursively,
// deselecting takes direct dependants along, a direct toggle leaves the minimum; none draws.
TEST(MenuSelection, togglingFollowsDependencies) {
  const Packages web = {{"system"},      {"ppp", "system"}, {"web", "lib", "ghost", "ppp"},
                        {"lib", "base"}, {"base"},          {"site", "web"}};
  const Packages cycle = {{"a", "b"}, {"b", "c"}, {"c", "a", "c"}};
  const Packages minimum = {{"system", "kernel"}, {"kernel"}}, twice = {{"system"}, {"system"}};
  const struct {
    const Packages& packages;
    std::vector<unsigned> toggles;
    std::string selected;
  } cases[] = {
      {web, {5}, "system,ppp,web,lib,base,site"},
      {web, {5, 1}, "system,lib,base,site"},  // web goes with ppp; site needing web stays
      {cycle, {0}, "a,b,c"},
      {cycle, {0, 1}, "c"},  // b off, and a which requires it; c requires only a and c
      {minimum, {0, 0}, "system"},
      {minimum, {0, 1, 1, 7}, ""},  // kernel off takes system along; 7 is past the end
      {twice, {}, "system,system"},
  };
  for (const auto& c : cases) {
    TestMenu menu(c.packages);
    EXPECT_EQ(captureStdout([&] {
                selectMinimum(menu);
                for (unsigned index : c.toggles) togglePackage(menu, index);
              }),
              "");
    EXPECT_EQ(menu.selected(), c.selected);
  }
}

TEST(MenuDrawing, entriesShowNamesSafelyAndStopAtTheScreenEdge) {
  TestMenu menu({{"pkg0"}, {"a\x1b[2Jb"}, {"pkg2"}, {"pkg3"}, {"pkg4"}, {"pkg5"}, {"pkg6"}});
  menu.rowsPerColumn = 3;
  menu.cursor = 4;
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
  const std::string expected[] = {
      "ppp (depends on system, modem):\nDial-up links [2J over serial lines \n",
      "system (depends on nothing):\nAbout system \n",
      "long (depends on nothing):\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n",
      "cut (depends on nothing):\n" + std::string(77, 'x') + " \ntail \n"};
  for (menu.cursor = 0; menu.cursor < 4; ++menu.cursor) {
    EXPECT_EQ(captureStdout([&] { drawInfo(menu); }), kInfoErase + expected[menu.cursor]);
  }
}

// Menu order, as the catalogue gives it.
const Packages kSeven = {{"system"},       {"ppp", "system"},          {"dhcp", "system"},
                         {"alpha", "ppp"}, {"beta", "alpha", "ghost"}, {"delta", "system"},
                         {"gamma"}};
const std::string kAll = "system,ppp,dhcp,alpha,beta,delta,gamma";
const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";

// Everything selected beforehand, then the menu up to `openings` times (again after each "r",
// as the CD-ROM flow does); each outcome is printed as "<install remote cursor rows chosen>".
PtyResult runMenu(const Packages& packages, std::vector<PtyStep> steps, int openings = 1) {
  PtyOptions options{std::move(steps)};
  return runOnPty(
      [&] {
        TestMenu menu(packages);
        selectAll(menu);
        for (int opening = 0; opening < openings; ++opening) {
          bool install = runPackageMenu(menu);
          printf("<%d %d %u %u %s>", install, menu.remoteRequested, menu.cursor, menu.rowsPerColumn,
                 menu.selected().c_str());
          if (!install || !menu.remoteRequested) break;
        }
        return 0;
      },
      options);
}

std::string outcomes(const std::string& output) {
  std::string found;
  for (size_t at = 0; (at = output.find('<', at)) != std::string::npos; ++at) {
    found += output.substr(at, output.find('>', at) + 1 - at);
  }
  return found;
}

TEST(MenuOnTerminal, openingScreenMoveAndCancelAreDrawnExactly) {
  // The first drawing still shows the selection the menu was given; then the minimum.
  auto entries = [](std::string marks) {
    std::string drawn =
        "\x1b[7;0H \x1b[m\x1b[7m [*] system \x1b[m\x1b[8;0H  [*] ppp \x1b[9;0H  [*] dhcp "
        "\x1b[7;26H  [*] alpha \x1b[8;26H  [*] beta \x1b[9;26H  [*] delta \x1b[7;52H  [*] gamma ";
    for (char mark : marks) drawn[drawn.find('*')] = mark;
    return drawn;
  };
  PtyResult run = runMenu(kSeven, {{"About system", "nq"}});
  EXPECT_EQ(run.output,
            "\x1b[2J\x1b[H\x1b[?25l\x1b[m\x1b[1m" + std::string(16, ' ') +
                "Welcome to Trenavox Router Software installation\n" + std::string(40, ' ') +
                "\n\x1b[m"
                "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. \n"
                "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'r' to \n"
                "install remote router or 'q' to cancel and reboot. \n" +
                entries("XXXXXXX") + entries("X      ") + kInfoErase +
                "system (depends on nothing):\nAbout system \n"
                "\x1b[7;0H  [X] system \x1b[8;0H \x1b[m\x1b[7m [ ] ppp \x1b[m" +
                kInfoErase + "ppp (depends on system):\nAbout ppp \n\x1b[25;0H\x1b[?25h" +
                "<0 0 1 3 system>");
}

TEST(MenuOnTerminal, keysMoveSelectAndLeave) {
  const struct {
    std::string keys;
    std::string outcome;
  } cases[] = {
      // The opening selects the minimum, whatever was chosen before.
      {"q", "<0 0 0 3 system>"},
      // Columns of three: nothing moves past either end or out of a column pair.
      {"nnN" + kLeft + kLeft + "nnnn" + kRight + "p" + kRight + kRight + kDown + "Q",
       "<0 0 6 3 system>"},
      {"nnnnn" + kUp + "pPPPP" + kUp + "nn I", "<1 0 2 3 system,dhcp>"},
      {"nnn R", "<1 1 3 3 system,ppp,alpha>"},  // alpha brings ppp
      {"Mar", "<1 1 0 3 " + kAll + ">"},
      {"Ami", "<1 0 0 3 system>"},
      // Unknown sequences and keys do nothing; ESC before a key leaves the key as it is.
      {"n\x1b[Z\x1b[ax?\a\n\x1b i", "<1 0 1 3 system,ppp>"},
  };
  for (const auto& c : cases) {
    PtyResult run = runMenu(kSeven, {{"About system", c.keys}});
    EXPECT_EQ(outcomes(run.output), c.outcome) << c.keys;
    EXPECT_EQ(countOf(run.output, "\a"), 0u) << c.keys;
  }
}

TEST(MenuOnTerminal, remoteChoiceShowsTheMenuAgainAtTheSameEntryWithTheMinimum) {
  PtyResult run =
      runMenu(kSeven, {{"About system", "nnar"}, {"\x1b[2J", ""}, {"About dhcp", "i"}}, 2);
  EXPECT_EQ(outcomes(run.output), "<1 1 2 3 " + kAll + "><1 0 2 3 system>");
  EXPECT_NE(run.output.rfind("\x1b[9;0H \x1b[m\x1b[7m [ ] dhcp \x1b[m"), std::string::npos);
}

// 50 packages: pages of three columns of 14; the page with the cursor is shown.
TEST(MenuOnTerminal, moreThanAScreenIsShownAPageAtATime) {
  Packages many = {{"system"}};
  for (int i = 0; i < 49; ++i) many.push_back({"p" + std::to_string(100 + i).substr(1)});
  PtyResult run = runMenu(many, {{"About system", std::string(49, 'n') + kLeft + "q"}});
  EXPECT_EQ(outcomes(run.output), "<0 0 35 14 system>");
  // Page 2: the page line, every entry row erased, then its eight entries.
  size_t second = run.output.find("\x1b[6;0H\x1b[2KPage 2 of 2\x1b[7;0H\x1b[2K");
  size_t back = run.output.find("\x1b[6;0H\x1b[2KPage 1 of 2", second);
  ASSERT_NE(back, std::string::npos) << run.output;
  std::string page2 = run.output.substr(second, run.output.find("\x1b[21;0H", second) - second);
  EXPECT_EQ(countOf(page2, "\x1b[2K"), 15u);
  EXPECT_EQ(countOf(page2, "] p"), 8u);
  EXPECT_NE(
      page2.find("\x1b[20;0H\x1b[2K\x1b[7;0H \x1b[m\x1b[7m [ ] p41 \x1b[m\x1b[8;0H  [ ] p42 "),
      std::string::npos);
  EXPECT_NE(run.output.find("\x1b[14;52H \x1b[m\x1b[7m [ ] p34 \x1b[m", back), std::string::npos);
  EXPECT_EQ(countOf(run.output.substr(back), "] "), 42u);
}

}  // namespace
