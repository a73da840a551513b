// Start-up and the abort path: the program's entry, the console choice, module loading.
#pragma once

// The whole run of the installer as main() would do it; returns main's exit value.
int installerMain(int argc, char** argv);
// Loads every module of the null-terminated list from the running kernel's module directory,
// silently skipping any that cannot be opened, mapped or loaded.
void loadKernelModules(const char* const* modules);
// Writes the abort messages, unmounts, waits for Enter, restores the terminal and reboots.
// Runs outside signal context, at the wait point where the interrupt was seen.
void runAbortPath();
