// Every run ends here: whatever could not be unmounted (a file system still busy) is at least
// written back before the restart.
#include "program/reboot.h"

#include <stdio.h>

#include "base/platform.h"

namespace {

constexpr int kRebootCommand = 0x01234567;  // restart

}  // namespace

void rebootMachine() {
  fflush(stdout);
  platform().sync();
  (void)platform().reboot(kRebootCommand);
}
