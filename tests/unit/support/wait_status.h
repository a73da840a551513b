// Reading the raw wait statuses that the tool runner and the installer child hand back.
#pragma once

#include <sys/wait.h>

// True when `status` is a real wait status of a child that exited with `code`.
inline bool exitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}
