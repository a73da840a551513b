// Install-mode dispatch: the choice of the one flow a run makes, and what follows it.
#pragma once

struct InstallContext;

constexpr int kModeTextSize = 80;

// Runs one complete install flow chosen by "-hdd-install" or the first line of "/TYPE", then
// unmounts the medium and the target, switches the interrupt off and, where the flow asks for
// it, waits for Enter.
void runInstallMode(InstallContext& context, int argc, char** argv);
// Reads the first line of `path` into `text` (kModeTextSize bytes), without its newline.
// A missing file leaves the text empty.
void readModeText(const char* path, char* text);
