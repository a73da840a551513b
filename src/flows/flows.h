// The install flows that the dispatch chooses between; each returns true on success.
#pragma once

struct InstallContext;

bool runCdInstall(InstallContext& context);
bool runHddInstall(InstallContext& context);
bool runFloppyInstall(InstallContext& context);
bool runInstallClient(InstallContext& context);
