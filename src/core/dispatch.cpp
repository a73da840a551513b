// Chooses the install mode from the command line and "/TYPE", runs exactly one flow, and turns
// its outcome into the reboot confirmation. Also the banner and the two shared questions.
#include "core/dispatch.h"

#include <stdio.h>
#include <string.h>

#include "core/context.h"
#include "core/flows.h"
#include "core/signals.h"
#include "platform/platform.h"
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

  (void)platform().umount("/floppy");
  (void)platform().umount("/mnt");
  abortDisabled = 1;

  if (confirm) {
    puts("Press ENTER to reboot");
    waitForEnter(*consoleTerminal);
  }
}

void showBanner(InstallContext&, const char* mode) {
  enterRawMode(*consoleTerminal);
  printf("\x1b[?25l");
  printf("\x1b[H\x1b[2J");
  printf("Welcome to Trenavox Router Software %s\n", mode);
  puts("Press Ctrl-Alt-Delete to abort");
}

bool confirmErase(InstallContext&) {
  puts("Warning: all data on the disk will be erased!");
  puts("");
  if (!askYesNo(*consoleTerminal, "Continue?")) return false;
  puts("");
  return true;
}

bool askKeepConfig(InstallContext&) {
  bool keep = askYesNo(*consoleTerminal, "Do you want to keep old configuration? ");
  puts("");
  return keep;
}
