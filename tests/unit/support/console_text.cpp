// Console text helpers of the tests.
#include "support/console_text.h"

std::string withoutTickerDots(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); i++) {
    result += text[i];
    if (text.compare(i, 3, "...") == 0) {
      result += "..";
      i += 3;
      while (i < text.size() && text[i] == '.') i++;
      i--;
    }
  }
  return result;
}
