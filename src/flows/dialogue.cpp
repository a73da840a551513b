// The banner and the keep-configuration and erase questions, worded alike in every flow.
#include "flows/dialogue.h"

#include <stdio.h>

#include "tui/terminal.h"

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
