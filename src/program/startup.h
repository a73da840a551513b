// Start-up: the program's entry, the console choice and module loading.
#pragma once

// The whole run of the installer as main() would do it; returns main's exit value.
int installerMain(int argc, char** argv);
// Loads every module of the null-terminated list from the running kernel's module directory,
// silently skipping any that cannot be opened, mapped or loaded.
void loadKernelModules(const char* const* modules);
// Keeps the text console when `textConsole` opens, otherwise moves standard input, output and
// error to `serialLine` and sends the tools' output to /dev/null. Afterwards descriptors 0-2
// are open, on /dev/null where nothing else would open, so that no later pipe can land there.
void chooseConsole(const char* textConsole, const char* serialLine);
