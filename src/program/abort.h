// The abort path: what an interrupt does while the installation is still under way.
#pragma once

// Writes the abort messages, stops the ticker, ends the installer child, unmounts, waits for
// Enter, restores the terminal, syncs and reboots. Runs outside signal context, at the wait
// point where the interrupt was seen; returns only when the reboot failed.
void runAbortPath();
