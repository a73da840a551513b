// Sector 0 of the target drive: reading and writing it whole, and putting the master boot code
// into it while the partition table and the boot signature stay as they are. The code bytes
// themselves are assembled from mbr.S.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "disk/boot_files.h"

namespace {

// Reads until `size` bytes are in or the device ends. Returns the count, or -1 on an error
// (errno tells which).
ssize_t readFully(int fd, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t count = read(fd, buffer + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return static_cast<ssize_t>(done);
}

// Writes all `size` bytes; a device that takes fewer reports why on the next attempt, so a
// failure always leaves errno set.
bool writeFully(int fd, const uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t count = write(fd, buffer + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(count);
  }
  return true;
}

void reportSystemError(const char* prefix) {
  fprintf(stderr, "%s: %s\n", prefix, strerror(errno));
}

}  // namespace

bool readBootSector(const char* device, uint8_t* sector) {
  int fd = open(device, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reportSystemError("could not open MBR");
    return false;
  }
  ssize_t count = readFully(fd, sector, kSectorSize);
  if (count < 0) {
    reportSystemError("could not read MBR");
  } else if (count < kSectorSize) {
    // Plain end of device: there is no system error text to show, and "Success" would lie.
    fprintf(stderr, "could not read MBR: device ends after %zd bytes\n", count);
  }
  (void)close(fd);
  return count == kSectorSize;
}

bool writeBootSector(const char* device, const uint8_t* sector) {
  // No O_TRUNC: only the first sector is replaced, also when the "device" is an image file.
  int fd = open(device, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    reportSystemError("could not open MBR");
    return false;
  }
  bool written = writeFully(fd, sector, kSectorSize);
  if (!written) reportSystemError("could not write MBR");
  (void)close(fd);
  return written;
}

void installBootCode(const char* device) {
  uint8_t sector[kSectorSize];
  if (!readBootSector(device, sector)) return;
  uint8_t updated[kSectorSize];
  memcpy(updated, sector, sizeof updated);
  memcpy(updated, masterBootCode, kBootCodeSize);
  memset(updated + kBootCodeSize, 0, kPartitionTableOffset - kBootCodeSize);
  // A drive that already carries exactly this sector is left alone.
  if (memcmp(updated, sector, sizeof updated) == 0) return;
  (void)writeBootSector(device, updated);
}
