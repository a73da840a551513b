// Install-mode dispatch and the dialogue pieces that several flows share.
#pragma once

struct InstallContext;

constexpr int kModeTextSize = 80;

// Runs one complete install flow chosen by "-hdd-install" or the first line of "/TYPE".
void runInstallMode(InstallContext& context, int argc, char** argv);
// Reads the first line of `path` into `text` (kModeTextSize bytes), without its newline.
// A missing file leaves the text empty.
void readModeText(const char* path, char* text);
void showBanner(InstallContext& context, const char* mode);
bool confirmErase(InstallContext& context);
bool askKeepConfig(InstallContext& context);
