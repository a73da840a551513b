// Target preparation (keep the old configuration, partition, format, mount, boot files, base
// directories) and post-install (the new system's script, sync, unmount, file-system check).
#pragma once

struct InstallContext;

bool prepareTarget(InstallContext& context, bool keepConfig);
int postInstall(InstallContext& context);
