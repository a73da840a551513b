// The end of every run.
#pragma once

// Flushes the console, writes back every file system and restarts the machine. Returns only
// when the reboot failed.
void rebootMachine();
