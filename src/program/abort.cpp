// The abort path runs at the wait where an interrupt is seen, never in the handler, so it may
// use stdio, wait for the child it kills and wait for Enter.
#include "program/abort.h"

#include <stdio.h>

#include "base/child.h"
#include "base/platform.h"
#include "disk/ticker.h"
#include "program/reboot.h"
#include "tui/terminal.h"

void runAbortPath() {
  // A step's ticker would go on putting dots behind the reboot prompt.
  cancelProgress();
  puts("\n\nInstallation aborted");
  puts("Press ENTER to reboot");
  // An installer child confined to /mnt keeps the target busy, and its umount would fail and
  // leave the new file system dirty at the reboot: end it first. The umount writes back.
  endPipedChild();
  (void)platform().umount("/mnt/boot");
  (void)platform().umount("/mnt");
  (void)platform().umount("/floppy");
  waitForEnter(*consoleTerminal);
  restoreTerminal(*consoleTerminal);
  rebootMachine();
  // Only a failed reboot gets here: the interrupted wait goes on.
}
