// The program's entry: the optional split into a waiting init and the installer, the console
// choice, the signal handlers, module loading, the dispatch and the final reboot.
#include "program/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/child.h"
#include "base/context.h"
#include "base/platform.h"
#include "base/signals.h"
#include "program/abort.h"
#include "program/dispatch.h"
#include "program/reboot.h"
#include "tui/terminal.h"

namespace {

constexpr int kModulePathSize = 256;
const char* const kernelModules[] = {"misc/flash.ko", nullptr};

// As init, the parent only waits for the installer. Being PID 1 it also collects every orphan
// that the kernel hands it, so none lingers as a zombie; it returns the installer's status.
int waitAsInit(pid_t installer) {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid == installer) return status;
    if (pid < 0 && errno != EINTR) return -1;
  }
}

// A kernel that could not open the console starts init with descriptors 0-2 closed; the next
// pipe would then land on them and console output would go into a package stream.
void keepStandardDescriptorsOpen() {
  for (;;) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

}  // namespace

void chooseConsole(const char* textConsole, const char* serialLine) {
  // Opened without O_CREAT: fopen's "w" would create a plain file /dev/tty0 on a writable /dev
  // that lacks the device, and the installer would then talk to that file instead of the
  // serial line. O_NOCTTY keeps a session leader from taking the VT as its terminal.
  int console = open(textConsole, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (console >= 0) {
    close(console);
  } else {
    snprintf(logTerminalPath, sizeof logTerminalPath, "/dev/null");
    (void)freopen(serialLine, "r", stdin);
    (void)freopen(serialLine, "w", stdout);
    (void)freopen(serialLine, "w", stderr);
  }
  // A failed freopen closes its descriptor: the guard comes after the console is chosen.
  keepStandardDescriptorsOpen();
}

void loadKernelModules(const char* const* modules) {
  for (; *modules; ++modules) {
    struct utsname system;
    memset(&system, 0, sizeof system);
    uname(&system);
    char path[kModulePathSize];
    snprintf(path, sizeof path, "/lib/modules/%s/%s", system.release, *modules);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
      close(fd);
      continue;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void* image = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (image == MAP_FAILED) {
      close(fd);
      continue;
    }
    (void)platform().loadModule(image, size, "");
    munmap(image, size);
    close(fd);
  }
}

int installerMain(int argc, char** argv) {
  if (argc > 0 && argv[0] && strstr(argv[0], "init")) {
    pid_t child = fork();
    if (child > 0) return waitAsInit(child);
  }

  chooseConsole("/dev/tty0", "/dev/ttyS0");
  consoleTerminal = new TerminalState();
  setAbortRoutine(runAbortPath);
  installSignalHandlers();
  loadKernelModules(kernelModules);

  InstallContext* context = new InstallContext;
  initInstallContext(*context);
  runInstallMode(*context, argc, argv);

  restoreTerminal(*consoleTerminal);
  puts("");
  puts("Rebooting...");
  rebootMachine();
  // Only a failed reboot gets here.
  delete context;
  return 0;
}
