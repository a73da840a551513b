// The boot-loader configuration and file-system table of the new root, and the "/.nofsck"
// marker of a journaled root. Sector 0 and the boot code are boot_sector.cpp's.
#include "disk/boot_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPathSize = 256;
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kConfigFileMode = 0644;

// "<root><suffix>" into `path`; false when it does not fit.
bool rootPath(char* path, const char* root, const char* suffix) {
  int length = snprintf(path, kPathSize, "%s%s", root, suffix);
  return length > 0 && length < kPathSize;
}

// Creates "<root>/etc/<name>" for writing, with "<root>/etc" made first when it is missing.
FILE* createEtcFile(const char* root, const char* name, char* path) {
  char etc[kPathSize];
  if (!rootPath(etc, root, "/etc")) return nullptr;
  (void)mkdir(etc, kDirectoryMode);  // an existing directory is as good
  int length = snprintf(path, kPathSize, "%s/%s", etc, name);
  if (length <= 0 || length >= kPathSize) return nullptr;
  return fopen(path, "w");
}

// Closes the file and gives it its final mode. A file that could not be written whole (a full
// disk) is a failure, not a configuration the new system would boot with.
bool finishEtcFile(FILE* file, const char* path) {
  bool written = !ferror(file);
  if (fclose(file) != 0) written = false;
  if (!written) return false;
  (void)chmod(path, kConfigFileMode);
  return true;
}

}  // namespace

bool writeLiloConf(const HardDrive& drive, const char* root) {
  char path[kPathSize];
  FILE* file = createEtcFile(root, "lilo.conf", path);
  if (!file) return false;
  fprintf(file, "boot=%s1\n", drive.device);
  fputs("map=/boot/map\n", file);
  fputs("install=/boot/boot.b\n", file);
  fputs("lba32\n", file);
  fputs("image=/boot/vmlinuz\n", file);
  fputs("  label=System\n", file);
  fprintf(file, "  root=%s%d\n", drive.device, drive.twoPartitions ? 2 : 1);
  fputs("  read-only\n", file);
  return finishEtcFile(file, path);
}

bool writeFstab(const HardDrive& drive, const char* root) {
  char path[kPathSize];
  FILE* file = createEtcFile(root, "fstab", path);
  if (!file) return false;
  const char* rootType = drive.journaled ? "ext3" : "ext2";
  if (drive.twoPartitions) {
    fprintf(file, "%s2  /     %s defaults 1 1\n", drive.device, rootType);
    fprintf(file, "%s1  /boot ext2 defaults 1 2\n", drive.device);
  } else {
    fprintf(file, "%s1  /     %s defaults 1 1\n", drive.device, rootType);
  }
  fputs("none /proc proc defaults 0 0\n", file);
  fputs("none /dev/pts devpts gid=5,mode=620 0 0\n", file);
  if (!finishEtcFile(file, path)) return false;

  if (drive.journaled) {
    char marker[kPathSize];
    if (rootPath(marker, root, "/.nofsck")) {
      int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC, kConfigFileMode);
      if (fd >= 0) (void)close(fd);  // without the marker the new system only checks more
    }
  }
  return true;
}
