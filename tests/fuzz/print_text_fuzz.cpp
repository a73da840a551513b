// Feeds arbitrary text to the console's three text writers, centred and not, so that the
// word-wrap buffer and the centring arithmetic meet words and lines of every length.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "tui/terminal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text itself is of no interest, only what writing it does to memory.
  static bool silenced = freopen("/dev/null", "w", stdout) != nullptr;
  (void)silenced;
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  for (bool centred : {false, true}) {
    printWrapped(text.data(), centred);
    printLines(text.data(), centred);
    printLine(text.data(), size, centred);
  }
  return 0;
}
