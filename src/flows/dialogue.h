// The dialogue pieces that the install flows share: the banner and the two questions asked
// before a disk is erased.
#pragma once

struct InstallContext;

// Enters raw mode, hides the cursor, clears the screen and greets with the mode's name.
void showBanner(InstallContext& context, const char* mode);
// The erase warning; true when the operator agrees.
bool confirmErase(InstallContext& context);
// True when the operator wants the old configuration kept.
bool askKeepConfig(InstallContext& context);
