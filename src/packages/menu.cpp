// The package selection menu: layout of the entries in three columns, the information area of
// the current entry, the keys and the dependency rules of selecting and deselecting. More than
// 42 packages are shown a page of three full columns at a time, the page that holds the cursor.
#include "packages/menu.h"

#include <stdio.h>

#include <algorithm>
#include <string>

#include "tui/terminal.h"

const char* const minimumPackage = "system";

namespace {

constexpr unsigned kMenuColumns = 3;
constexpr int kColumnWidth = 26;
constexpr int kFirstEntryRow = 7;
constexpr unsigned kMaxRowsPerColumn = 14;  // rows 7 to 20, above the information area
constexpr int kPageRow = 6;                 // the page line, only when there are several pages
constexpr int kInfoRow = 21;
constexpr int kInfoLastRow = 24;         // erased before drawing, never scrolled past
constexpr int kInfoDescriptionRows = 3;  // rows 22 to 24
constexpr int kParkRow = 25;
constexpr size_t kEntryDecoration = 7;           // " " + " [X] " + name + " "
constexpr size_t kLongestWord = kWrapWidth - 1;  // a word and its space fill one wrapped line

const char kTitle[] = "Welcome to Trenavox Router Software installation\n";
const char kHelp[] =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all "
    "with 'a', minimum with 'm'. Press 'i' to install locally or 'r' to install remote router "
    "or 'q' to cancel and reboot.";

// Arrow keys, decoded from ESC "[" A..D, outside the byte range.
constexpr int kKeyUp = 0x100 + 'A';
constexpr int kKeyDown = 0x100 + 'B';
constexpr int kKeyRight = 0x100 + 'C';
constexpr int kKeyLeft = 0x100 + 'D';

bool isControlByte(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Package texts come from the medium: control bytes would move the cursor or change the
// terminal's mode, so they are shown as "?".
std::string shownText(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (isControlByte(c)) c = '?';
  }
  return shown;
}

uint32_t entriesPerPage(const PackageMenu& menu) {
  return menu.rowsPerColumn * kMenuColumns;
}

uint32_t pageOf(const PackageMenu& menu, uint32_t index) {
  return index / entriesPerPage(menu);
}

// The description cut to what fits on rows 22 to 24 as the word wrap lays it out (a fourth
// line would scroll the whole screen), with words longer than a line cut to one line.
std::string fittedDescription(const std::string& text) {
  std::string fitted;
  size_t lineLength = 0;
  int lines = 1;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || isControlByte(text[i]))) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && !isControlByte(text[i])) ++i;
    if (i == start) break;
    size_t length = std::min(i - start, kLongestWord);
    if (lineLength + length + 1 > static_cast<size_t>(kWrapWidth)) {
      if (++lines > kInfoDescriptionRows) break;
      lineLength = 0;
    }
    if (!fitted.empty()) fitted += ' ';
    fitted.append(text, start, length);
    lineLength += length + 1;
  }
  return fitted;
}

void drawEveryEntry(PackageMenu& menu) {
  for (size_t i = 0; i < menu.entries.size(); ++i) drawEntry(menu, static_cast<unsigned>(i));
}

// Shows the page that holds the cursor: only needed when the packages do not fit one screen.
void drawPage(PackageMenu& menu) {
  uint32_t pages = (menu.entries.size() + entriesPerPage(menu) - 1) / entriesPerPage(menu);
  if (pages > 1) {
    gotoXY(0, kPageRow);
    clearLine();
    printf("Page %u of %u", static_cast<unsigned>(pageOf(menu, menu.cursor) + 1),
           static_cast<unsigned>(pages));
    for (int row = kFirstEntryRow; row < kFirstEntryRow + static_cast<int>(menu.rowsPerColumn);
         ++row) {
      gotoXY(0, row);
      clearLine();
    }
  }
  drawEveryEntry(menu);
}

void moveCursor(PackageMenu& menu, uint32_t target) {
  uint32_t previous = menu.cursor;
  if (target == previous) return;
  menu.cursor = target;
  if (pageOf(menu, previous) != pageOf(menu, target)) {
    drawPage(menu);
  } else {
    drawEntry(menu, previous);
    drawEntry(menu, target);
  }
  drawInfo(menu);
}

// Reads one key; arrow sequences become kKey*, a dropped sequence 0, end of input EOF.
int readMenuKey() {
  int key = readKeyByte();
  if (key != kEscapeKey) return key;
  key = readKeyByte();
  if (key != '[') return key;
  key = readKeyByte();
  if (key >= 'A' && key <= 'D') return 0x100 + key;
  return key == EOF ? EOF : 0;
}

bool leaveMenu(TerminalState& state, bool result) {
  gotoXY(0, kParkRow);
  restoreTerminal(state);
  fflush(stdout);
  return result;
}

}  // namespace

void selectAll(PackageMenu& menu) {
  for (SelectablePackage* package : menu.entries) package->selected = true;
}

void selectMinimum(PackageMenu& menu) {
  for (SelectablePackage* package : menu.entries)
    package->selected = package->name == minimumPackage;
}

void togglePackage(PackageMenu& menu, unsigned index) {
  if (index >= menu.entries.size()) return;
  SelectablePackage* package = menu.entries[index];
  if (package->selected) {
    if (package->name == minimumPackage) return;
    package->selected = false;
    for (SelectablePackage* other : menu.entries) {
      if (other->requires(*package)) other->selected = false;
    }
    return;
  }
  // Marked before its dependencies are visited, so a dependency cycle ends here.
  package->selected = true;
  for (const PackageDep& dependency : package->depends) {
    int found = findPackage(menu, dependency.name);
    if (found >= 0 && !menu.entries[found]->selected) {
      togglePackage(menu, static_cast<unsigned>(found));
    }
  }
}

void drawEntry(PackageMenu& menu, unsigned index) {
  if (index >= menu.entries.size() || menu.rowsPerColumn == 0) return;
  if (pageOf(menu, index) != pageOf(menu, menu.cursor)) return;
  uint32_t slot = index % entriesPerPage(menu);
  int column = static_cast<int>(slot / menu.rowsPerColumn) * kColumnWidth;
  int row = static_cast<int>(slot % menu.rowsPerColumn) + kFirstEntryRow;
  // A long name may run into the next column but not past the screen's edge, where the
  // terminal would wrap it onto the row below.
  int firstColumn = std::max(column, 1);
  size_t longestName = static_cast<size_t>(kScreenColumns - firstColumn + 1) - kEntryDecoration;
  SelectablePackage* package = menu.entries[index];
  std::string name = shownText(package->name);
  bool current = index == menu.cursor;
  gotoXY(column, row);
  printf(" ");
  if (current) setAttributes(AttrReverse);
  printf(" [%c] %.*s ", package->selected ? 'X' : ' ',
         static_cast<int>(std::min(name.size(), longestName)), name.c_str());
  if (current) setAttributes(0);
}

void drawInfo(PackageMenu& menu) {
  if (menu.cursor >= menu.entries.size()) return;
  for (int row = kInfoRow; row <= kInfoLastRow; ++row) {
    gotoXY(0, row);
    clearLine();
  }
  gotoXY(0, kInfoRow);
  SelectablePackage* package = menu.entries[menu.cursor];
  std::string line = package->name + " (depends on ";
  if (package->depends.empty()) {
    line += "nothing";
  } else {
    for (size_t i = 0; i < package->depends.size(); ++i) {
      if (i > 0) line += ", ";
      line += package->depends[i].name;
    }
  }
  line += "):";
  // One screen row: a full 80-character row would wrap before its newline on some terminals.
  line = shownText(line);
  printf("%.*s\n", static_cast<int>(std::min(line.size(), static_cast<size_t>(kScreenColumns - 1))),
         line.c_str());
  printWrapped(fittedDescription(package->description).c_str(), false);
}

bool runPackageMenu(PackageMenu& menu) {
  if (menu.entries.empty()) return false;
  uint32_t count = static_cast<uint32_t>(menu.entries.size());
  menu.rowsPerColumn = std::min((count + kMenuColumns - 1) / kMenuColumns, kMaxRowsPerColumn);
  if (menu.cursor >= count) menu.cursor = 0;

  TerminalState state;
  enterRawMode(state);
  clearScreen();
  setCursorHidden(true);
  setAttributes(AttrBold);
  printLines(kTitle, true);
  setAttributes(0);
  printWrapped(kHelp, false);
  drawPage(menu);
  selectMinimum(menu);
  drawEveryEntry(menu);
  drawInfo(menu);
  menu.remoteRequested = false;

  for (;;) {
    int key = readMenuKey();
    switch (key) {
      case kKeyUp:
      case 'p':
      case 'P':
        if (menu.cursor != 0) moveCursor(menu, menu.cursor - 1);
        break;
      case kKeyDown:
      case 'n':
      case 'N':
        if (menu.cursor + 1 < count) moveCursor(menu, menu.cursor + 1);
        break;
      case kKeyRight:
        if (menu.cursor + menu.rowsPerColumn < count) {
          moveCursor(menu, menu.cursor + menu.rowsPerColumn);
        }
        break;
      case kKeyLeft:
        if (menu.cursor >= menu.rowsPerColumn) moveCursor(menu, menu.cursor - menu.rowsPerColumn);
        break;
      case ' ':
        togglePackage(menu, menu.cursor);
        drawEveryEntry(menu);
        break;
      case 'a':
      case 'A':
        selectAll(menu);
        drawEveryEntry(menu);
        break;
      case 'm':
      case 'M':
        selectMinimum(menu);
        drawEveryEntry(menu);
        break;
      case 'i':
      case 'I':
        return leaveMenu(state, true);
      case 'r':
      case 'R':
        menu.remoteRequested = true;
        return leaveMenu(state, true);
      case 'q':
      case 'Q':
      case EOF:  // the console went away: nobody is left to choose, so cancel as "q" does
        return leaveMenu(state, false);
      default:
        break;
    }
  }
}
