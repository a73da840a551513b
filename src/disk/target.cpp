// Target preparation and post-install: keeping the old configuration, writing the boot code,
// partitioning, formatting and mounting the new root at "/mnt" with its boot files and base
// directories; afterwards the new system's own script, sync, unmount and file-system check.
#include "disk/target.h"

#include <stdio.h>
#include <sys/stat.h>

#include "base/context.h"
#include "base/platform.h"
#include "disk/boot_files.h"
#include "disk/partition.h"
#include "disk/snapshot.h"
#include "disk/ticker.h"
#include "disk/tool_runner.h"

namespace {

constexpr const char* kTargetRoot = "/mnt";
constexpr const char* kTargetBoot = "/mnt/boot";
constexpr const char* kConfigTree = "/mnt/vela/store";
constexpr mode_t kBaseDirectoryMode = 0755;
// MS_RDONLY | MS_REMOUNT: the root is checked read-only before it is unmounted.
constexpr unsigned long kRemountReadOnly = 33;

struct BaseDirectory {
  const char* path;
  const char* name;  // as the new system will know it, for the error line
};

constexpr BaseDirectory kBaseDirectories[] = {
    {"/mnt/proc", "/proc"}, {"/mnt/vela", "/vela"},       {"/mnt/vela/etc", "/vela/etc"},
    {"/mnt/var", "/var"},   {"/mnt/var/pdb", "/var/pdb"},
};

// Reads the old root's configuration tree, or null when there is none to keep. Prints the
// failure line when the tree is there but could not be read.
ConfigSnapshot* readOldConfiguration(InstallContext& context) {
  const HardDrive& drive = context.targetDrive;
  if (!mountTarget(drive, kTargetRoot, false)) return nullptr;  // a blank disk keeps nothing
  ConfigSnapshot* snapshot = nullptr;
  struct stat status;
  if (lstat(kConfigTree, &status) == 0) {
    startProgress(context, "Reading old configuration...");
    snapshot = takeSnapshot(kConfigTree);
    stopProgress(context);
    if (!snapshot) puts("ERROR: couldn't keep config - probably not enough memory");
  }
  // Both results are ignored: "/mnt/boot" is not normally mounted at this point.
  (void)platform().umount(kTargetBoot);
  (void)platform().umount(kTargetRoot);
  return snapshot;
}

// Partitions, formats and mounts the drive, then writes the boot files and base directories.
// False after a failure, its message printed.
bool buildNewRoot(InstallContext& context) {
  const HardDrive& drive = context.targetDrive;
  startProgress(context, "Creating partition...");
  if (!partitionDrive(drive)) {
    stopProgress(context);
    puts("ERROR: could not create partitions");
    return false;
  }
  stopProgress(context);
  startProgress(context, "Formatting disk...");
  if (!formatDrive(drive)) {
    stopProgress(context);
    puts("ERROR: could not format partitions");
    return false;
  }
  stopProgress(context);

  if (!mountTarget(drive, kTargetRoot, true)) {
    puts("ERROR: could not mount filesystem");
    return false;
  }
  if (!writeLiloConf(drive, kTargetRoot)) {
    puts("ERROR: could not create lilo.conf");
    return false;
  }
  if (!writeFstab(drive, kTargetRoot)) {
    puts("ERROR: could not create fstab");
    return false;
  }
  for (const BaseDirectory& directory : kBaseDirectories) {
    if (mkdir(directory.path, kBaseDirectoryMode) != 0) perror(directory.name);
  }
  return true;
}

}  // namespace

bool prepareTarget(InstallContext& context, bool keepConfig) {
  ConfigSnapshot* snapshot = keepConfig ? readOldConfiguration(context) : nullptr;

  // The first write to the disk: only now has the operator agreed to lose what is on it.
  // Partitioning rewrites just the table and signature of sector 0, so the code stays.
  installBootCode(context.targetDrive.device);

  if (!buildNewRoot(context)) {
    freeSnapshot(snapshot);  // nowhere to write it back any more
    return false;
  }
  if (!snapshot) return true;
  startProgress(context, "Writing back old configuration...");
  bool restored = restoreSnapshot(snapshot);
  stopProgress(context);
  if (!restored) {
    puts("ERROR: couldn't write old configuration - proboably not enough space on the disk");
  }
  return true;
}

int postInstall(InstallContext& context) {
  const HardDrive& drive = context.targetDrive;
  (void)runCommand(kTargetRoot, "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
  platform().sync();
  (void)platform().umount(kTargetBoot);
  if (!drive.twoPartitions) {
    // A remount takes neither the source nor the type; they are given for form's sake.
    if (platform().mount("/dev/hda1", kTargetRoot, "ext3", kRemountReadOnly, nullptr) == 0) {
      startProgress(context, "Checking disk integrity...");
      (void)runCommand(kTargetRoot, "/sbin/fsck", "-d", "-v", nullptr);
      stopProgress(context);
    }
  }
  return platform().umount(kTargetRoot);
}
