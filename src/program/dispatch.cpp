// Chooses the install mode from the command line and "/TYPE", runs exactly one flow, and turns
// its outcome into the reboot confirmation.
#include "program/dispatch.h"

#include <stdio.h>
#include <string.h>

#include "base/context.h"
#include "base/platform.h"
#include "base/signals.h"
#include "flows/flows.h"
#include "tui/terminal.h"

void readModeText(const char* path, char* text) {
  memset(text, 0, kModeTextSize);
  FILE* file = fopen(path, "r");
  if (!file) return;
  if (!fgets(text, kModeTextSize, file)) text[0] = '\0';
  fclose(file);
  char* newline = strchr(text, '\n');
  if (newline) *newline = '\0';
}

void runInstallMode(InstallContext& context, int argc, char** argv) {
  (void)platform().mount("proc", "/proc", "proc", 0, nullptr);

  bool hddMode = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-hdd-install") == 0) hddMode = true;
  }

  char mode[kModeTextSize];
  readModeText("/TYPE", mode);

  bool confirm;
  if (hddMode) {
    confirm = !runHddInstall(context);
  } else if (strcmp(mode, "cdrom") == 0) {
    runCdInstall(context);
    confirm = true;
  } else if (strcmp(mode, "net") == 0) {
    confirm = !runInstallClient(context);
  } else {
    runFloppyInstall(context);
    confirm = true;
  }

  // A flow that failed after mounting the target leaves "/mnt/boot" on top of "/mnt": it goes
  // first, or "/mnt" stays busy and both reach the reboot dirty.
  (void)platform().umount("/floppy");
  (void)platform().umount("/mnt/boot");
  (void)platform().umount("/mnt");
  abortDisabled = 1;

  if (confirm) {
    puts("Press ENTER to reboot");
    waitForEnter(*consoleTerminal);
  }
}
