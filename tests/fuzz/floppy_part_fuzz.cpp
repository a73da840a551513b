// Feeds arbitrary part files to the floppy set reader, once as a first floppy and once more
// after whatever the first read accepted, so that header rules, group reading and repair meet
// every layout a damaged or hostile floppy can claim.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/child.h"
#include "base/context.h"
#include "flows/floppy_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The progress bar and repair notices are of no interest, only what reading does to memory.
  static bool quiet = freopen("/dev/null", "w", stdout) &&
                      snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null") > 0;
  static FILE* sink = fopen("/dev/null", "w");
  // A regular file in memory: the reader measures the part file with fstat.
  int fd = memfd_create("floppy-part", 0);
  FILE* file =
      fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size) ? fdopen(fd, "r") : nullptr;
  if (!quiet || !sink || !file) abort();
  rewind(file);
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
