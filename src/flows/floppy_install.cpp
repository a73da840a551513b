// Floppy installation: the set is installed whole, floppy by floppy, into a single installer
// child. A floppy that cannot be mounted, carries the wrong part or fails the reader's checks
// is asked for again; a broken installer stream ends the flow.
#include "flows/floppy_install.h"

#include <errno.h>
#include <stdio.h>

#include "base/context.h"
#include "base/platform.h"
#include "disk/drives.h"
#include "disk/target.h"
#include "flows/dialogue.h"
#include "flows/floppy_reader.h"
#include "flows/flows.h"
#include "stream/package_stream.h"
#include "tui/terminal.h"

namespace {

char ordinalText[kOrdinalBufferSize];
// Nothing writes to a set floppy: read-only also mounts a write-protected one (the driver
// refuses it a read-write open) and leaves the distribution floppies' access times alone.
constexpr unsigned long kMountReadOnly = 1;  // MS_RDONLY

int mountFloppy() {
  int result = -1;
  for (int attempt = 0; attempt < kFloppyMountTries && result != 0; ++attempt) {
    result = platform().mount("/dev/fd0", "/floppy", "vfat", kMountReadOnly, nullptr);
  }
  return result;
}

void badFloppy() {
  puts("");
  puts("ERROR: bad floppy, please replace it.");
  (void)platform().umount("/floppy");
}

// Ends the installer child after a failure, so that it does not hold "/mnt" busy; its status
// no longer matters.
void abandonInstaller(FILE* stream) {
  (void)closePackageInstaller(stream);
}

}  // namespace

const char* ordinalWord(unsigned number) {
  if (number == 1) return "1st";
  if (number == 2) return "2nd";
  if (number == 3) return "3rd";
  snprintf(ordinalText, sizeof ordinalText, "%uth", number);
  return ordinalText;
}

bool askForFloppy(InstallContext&, unsigned number) {
  printf("Please insert %s installation floppy.\n", ordinalWord(number));
  puts("Press ENTER when ready");
  int key = waitForEnter(*consoleTerminal);
  puts("");
  return key != EOF;
}

FILE* openFloppyPart(InstallContext& context, unsigned partIndex) {
  for (;;) {
    if (!askForFloppy(context, partIndex + 2)) return nullptr;
    if (mountFloppy() != 0) {
      puts("ERROR: No floppy, or bad floppy");
      puts("");
      continue;
    }
    char name[kFloppyNameSize];
    snprintf(name, sizeof name, "/floppy/trenavox.n%2.2u", partIndex);
    FILE* file = fopen(name, "r");
    if (file) return file;
    if (errno != ENOENT) {
      // An unreadable part (an I/O error) after the disk was erased: another copy may do.
      badFloppy();
      continue;
    }
    puts("Wrong floppy!");
    (void)platform().umount("/floppy");
    puts("");
  }
}

bool installFloppySet(InstallContext& context) {
  FILE* stream = startPackageInstaller();
  if (!stream) {
    puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  unsigned partIndex = 0;
  while (partIndex < headerPartCount(context.header)) {
    puts("");
    FILE* file = openFloppyPart(context, partIndex);
    if (!file) {
      puts("\nFATAL ERROR: Installation error");
      abandonInstaller(stream);
      return false;
    }
    int32_t result = readFloppyPart(context, file, stream);
    fclose(file);
    if (result == 0) {
      badFloppy();
      continue;
    }
    if (result < 0) {
      puts("\nFATAL ERROR: Installation error");
      abandonInstaller(stream);
      return false;
    }
    (void)platform().umount("/floppy");
    ++partIndex;
  }
  if (!closePackageInstaller(stream)) {
    puts("\nFATAL ERROR: Installation error");
    return false;
  }
  return true;
}

bool runFloppyInstall(InstallContext& context) {
  showBanner(context, "floppy installation");
  if (!detectTargetDrive(context)) return false;
  bool keepConfig = askKeepConfig(context);
  if (!confirmErase(context)) return false;
  if (!prepareTarget(context, keepConfig)) return false;
  if (!installFloppySet(context)) return false;
  postInstall(context);
  puts("");
  puts("Software installed.");
  puts("Remove boot floppy");
  return true;
}
