// Feeds arbitrary part files to the floppy set reader, once as a first floppy and once more
// after whatever the first read accepted, so that header rules, group reading and repair meet
// every layout a damaged or hostile floppy can claim.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/child.h"
#include "base/context.h"
#include "base/signals.h"
#include "flows/floppy_reader.h"

namespace {

// A regular file in memory (the reader measures the part file with fstat).
FILE* partFile(const uint8_t* data, size_t size) {
  int fd = memfd_create("floppy-part", 0);
  if (fd < 0) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  FILE* file = fdopen(fd, "r");
  if (!file) {
    close(fd);
    return nullptr;
  }
  rewind(file);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The progress bar and repair notices are of no interest, only what reading does to memory.
  static bool silenced = freopen("/dev/null", "w", stdout) != nullptr;
  (void)silenced;
  snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null");
  static FILE* sink = fopen("/dev/null", "w");
  if (!sink) return 0;

  FILE* file = partFile(data, size);
  if (!file) return 0;
  InstallContext context;
  initInstallContext(context);
  int32_t first = readFloppyPart(context, file, sink);
  rewind(file);
  int32_t second = readFloppyPart(context, file, sink);
  fclose(file);
  // The same bytes read twice must give the same verdict: the first read's header is the only
  // thing carried over, and it belongs to these very bytes.
  if (first != second) __builtin_trap();
  return 0;
}
