// The log terminal for one test: the tools' chatter goes where the test says (/dev/null unless
// told otherwise), and the installer's own path comes back when the guard goes.
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>

#include "base/child.h"

class LogTerminal {
 public:
  explicit LogTerminal(const std::string& path = "/dev/null") {
    memcpy(saved_, logTerminalPath, sizeof saved_);
    use(path);
  }
  ~LogTerminal() { memcpy(logTerminalPath, saved_, sizeof saved_); }
  LogTerminal(const LogTerminal&) = delete;
  LogTerminal& operator=(const LogTerminal&) = delete;

  void use(const std::string& path) {
    snprintf(logTerminalPath, sizeof logTerminalPath, "%s", path.c_str());
  }

 private:
  char saved_[sizeof logTerminalPath];
};
