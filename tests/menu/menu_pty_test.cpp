// The selection menu on a real pseudo-terminal: the whole opening screen byte for byte, what the
// keys do to the outcome, the menu shown again after a remote choice, and paging. The rules and
// the drawing of single entries are checked in-process in tests/unit/packages/menu_test.cpp.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "packages/menu.h"
#include "support/pty_harness.h"

namespace {

struct Entry {
  std::string name, description;
  std::vector<std::string> depends;
};

// Menu order, as the catalogue gives it.
const std::vector<Entry> kSeven = {{"system", "Base system", {}},
                                   {"ppp", "Point to point", {"system"}},
                                   {"dhcp", "Address server", {"system"}},
                                   {"alpha", "Alpha package", {"ppp"}},
                                   {"beta", "Beta test", {"alpha", "ghost"}},
                                   {"delta", "Delta", {"system"}},
                                   {"gamma", "Gamma rays", {}}};
const std::string kAll = "system,ppp,dhcp,alpha,beta,delta,gamma";
const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";

// Everything selected beforehand, then the menu up to `openings` times (again after each "r",
// as the CD-ROM flow does); each outcome is printed as "<install remote cursor rows chosen>".
PtyResult runMenu(const std::vector<Entry>& entries, std::vector<PtyStep> steps, int openings = 1) {
  PtyOptions options;
  options.steps = std::move(steps);
  return runOnPty(
      [&] {
        PackageMenu menu;
        for (const Entry& entry : entries) {
          SelectablePackage* package = new SelectablePackage;
          package->name = entry.name;
          package->description = entry.description;
          for (const std::string& name : entry.depends) package->depends.emplace_back(name);
          menu.entries.push_back(package);
        }
        selectAll(menu);
        for (int opening = 0; opening < openings; ++opening) {
          bool install = runPackageMenu(menu);
          std::string chosen;
          for (const SelectablePackage* package : menu.entries) {
            if (package->selected) chosen += (chosen.empty() ? "" : ",") + package->name;
          }
          printf("<%d %d %u %u %s>", install, menu.remoteRequested, menu.cursor, menu.rowsPerColumn,
                 chosen.c_str());
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
  const std::string infoErase =
      "\x1b[21;0H\x1b[2K\x1b[22;0H\x1b[2K\x1b[23;0H\x1b[2K\x1b[24;0H\x1b[2K\x1b[21;0H";
  PtyResult run = runMenu(kSeven, {{"Base system", "nq"}});
  EXPECT_EQ(run.output,
            "\x1b[2J\x1b[H\x1b[?25l\x1b[m\x1b[1m" + std::string(16, ' ') +
                "Welcome to Trenavox Router Software installation\n" + std::string(40, ' ') +
                "\n\x1b[m"
                "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. \n"
                "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'r' to \n"
                "install remote router or 'q' to cancel and reboot. \n" +
                entries("XXXXXXX") + entries("X      ") + infoErase +
                "system (depends on nothing):\nBase system \n"
                "\x1b[7;0H  [X] system \x1b[8;0H \x1b[m\x1b[7m [ ] ppp \x1b[m" +
                infoErase + "ppp (depends on system):\nPoint to point \n\x1b[25;0H\x1b[?25h" +
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
      {"\x1bq", "<0 0 0 3 system>"},
  };
  for (const auto& c : cases) {
    PtyResult run = runMenu(kSeven, {{"Base system", c.keys}});
    EXPECT_EQ(outcomes(run.output), c.outcome) << c.keys;
    EXPECT_EQ(countOf(run.output, "\a"), 0u) << c.keys;
  }
}

TEST(MenuOnTerminal, remoteChoiceShowsTheMenuAgainAtTheSameEntryWithTheMinimum) {
  PtyResult run = runMenu(kSeven, {{"Base system", "nnar"}, {"\x1b[2J", ""}, {"Address", "i"}}, 2);
  EXPECT_EQ(outcomes(run.output), "<1 1 2 3 " + kAll + "><1 0 2 3 system>");
  EXPECT_NE(run.output.rfind("\x1b[9;0H \x1b[m\x1b[7m [ ] dhcp \x1b[m"), std::string::npos);
}

// 50 packages: pages of three columns of 14; the page with the cursor is shown.
TEST(MenuOnTerminal, moreThanAScreenIsShownAPageAtATime) {
  std::vector<Entry> many = {{"system", "about system", {}}};
  for (int i = 0; i < 49; ++i) many.push_back({"p" + std::to_string(100 + i).substr(1), "", {}});
  PtyResult run = runMenu(many, {{"about system", std::string(49, 'n') + kLeft + "q"}});
  EXPECT_EQ(outcomes(run.output), "<0 0 35 14 system>");
  size_t second = run.output.find("\x1b[6;0H\x1b[2KPage 2 of 2");
  size_t back = run.output.find("\x1b[6;0H\x1b[2KPage 1 of 2", second);
  ASSERT_NE(back, std::string::npos) << run.output;
  std::string page2 = run.output.substr(second, run.output.find("\x1b[21;0H", second) - second);
  EXPECT_EQ(countOf(page2, "\x1b[2K"), 15u);  // the page line and every entry row
  EXPECT_EQ(countOf(page2, "] p"), 8u);
  EXPECT_NE(page2.find("\x1b[7;0H \x1b[m\x1b[7m [ ] p41 \x1b[m\x1b[8;0H  [ ] p42 "),
            std::string::npos);
  EXPECT_NE(page2.find("\x1b[14;0H  [ ] p48 "), std::string::npos);
  std::string page1 = run.output.substr(back);
  EXPECT_EQ(countOf(page1, "] "), 42u);
  EXPECT_NE(page1.find("\x1b[14;52H \x1b[m\x1b[7m [ ] p34 \x1b[m"), std::string::npos);
}

}  // namespace
