// mbr-image OUTPUT: writes one 512-byte sector holding the master boot code, zeros where the
// partition table goes and the boot signature 55h AAh. Media makers use it as the "mbr" file;
// the partitioning tool later fills in the table.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "disk/boot_files.h"

namespace {

constexpr int kSignatureOffset = 510;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  uint8_t sector[kSectorSize] = {};
  memcpy(sector, masterBootCode, kBootCodeSize);
  sector[kSignatureOffset] = 0x55;
  sector[kSignatureOffset + 1] = 0xAA;
  int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  ssize_t written = write(fd, sector, sizeof sector);
  if (written != static_cast<ssize_t>(sizeof sector) || close(fd) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
