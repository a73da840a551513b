// The installation server's prompts on the raw console: a one-line editor whose default is
// accepted with Enter or replaced by the first typed key, an address prompt that asks until
// the answer parses, and a yes/no question with the cursor shown.
#include "tui/prompts.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "tui/terminal.h"

namespace {

// Room for the longest dotted address plus slack for the shorter forms inet_aton accepts.
constexpr int kAddressTextSize = 20;

void redrawLine(const char* label, const char* value) {
  printf("\r%s: %s", label, value);
}

}  // namespace

bool promptText(const char* label, const char* defaultText, char* out, int size) {
  // Without room for the terminator there is nothing the caller could receive.
  if (out == nullptr || size <= 0) return false;
  const size_t capacity = static_cast<size_t>(size) - 1;  // characters, terminator excluded

  clearLine();
  printf("\r%s: ", label);
  // Kept apart from `out` so a caller may pass its previous answer as the default.
  std::vector<char> work(static_cast<size_t>(size), '\0');
  size_t position = 0;
  bool defaultShown = false;
  if (defaultText != nullptr) {
    // A default longer than the buffer is shown as it would be returned: cut.
    memcpy(work.data(), defaultText, strnlen(defaultText, capacity));
    setAttributes(AttrReverse);
    printf("%s", work.data());
    setAttributes(0);
    defaultShown = true;
  }
  setCursorHidden(false);

  for (;;) {
    int key = readKeyByte();
    if (key == EOF) {
      out[0] = '\0';
      setCursorHidden(true);
      return false;
    }
    if (key == '\n') {
      if (defaultShown) redrawLine(label, work.data());
      memcpy(out, work.data(), static_cast<size_t>(size));
      setCursorHidden(true);
      return true;
    }
    if (key == kDeleteKey) {
      if (position == 0) continue;
      work[--position] = '\0';
      clearLine();
      redrawLine(label, work.data());
      continue;
    }
    // A NUL would end the text early and leave the edit position past its end.
    if (key == '\0' || position >= capacity) continue;
    if (defaultShown) {
      clearLine();
      memset(work.data(), 0, work.size());
      work[0] = static_cast<char>(key);
      position = 1;
      redrawLine(label, work.data());
      defaultShown = false;
      continue;
    }
    work[position++] = static_cast<char>(key);
    putchar(key);
  }
}

in_addr_t promptAddress(const char* label, in_addr_t defaultAddress) {
  for (;;) {
    char defaultText[kAddressTextSize] = "";
    if (defaultAddress != 0) {
      in_addr address;
      address.s_addr = defaultAddress;
      snprintf(defaultText, sizeof defaultText, "%s", inet_ntoa(address));
    }
    char answer[kAddressTextSize];
    if (!promptText(label, defaultAddress != 0 ? defaultText : nullptr, answer, sizeof answer)) {
      return 0;
    }
    in_addr parsed;
    if (inet_aton(answer, &parsed) != 0) return parsed.s_addr;
  }
}

bool promptYesNo(const char* question) {
  printf("%s [y/n]:", question);
  fflush(stdout);
  setCursorHidden(false);
  for (;;) {
    int key = readKeyByte();
    if (key == EOF) {
      setCursorHidden(true);
      return false;
    }
    if (key == 'y' || key == 'Y' || key == 'n' || key == 'N') {
      bool yes = key == 'y' || key == 'Y';
      printf("%c\n", yes ? 'y' : 'n');
      setCursorHidden(true);
      return yes;
    }
    putchar(kBellByte);
    fflush(stdout);
  }
}
