// The installer child: a forked process confined to "/mnt" whose standard input is the package
// stream, installed there by the package library. The parent keeps the pipe's write end as a
// stdio stream; closeTool ends the child. Its exit status says whether every package installed.
#include "core/package_stream.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <string>

#include "core/signals.h"
#include "disk/tool_runner.h"
#include "libinstall.h"

namespace {

constexpr int kFirstClosedDescriptor = 3;
constexpr int kLastClosedDescriptor = 15;
constexpr char kTargetRoot[] = "/mnt";
constexpr int kChildFailed = 1;

// Set once Repo::init has run in this process.
bool repoInitialised = false;

[[noreturn]] void runInstallerChild(int pipeRead, int pipeWrite) {
  resetSignalsInChild();
  if (dup2(pipeRead, STDIN_FILENO) < 0) _exit(kChildFailed);
  for (int fd = kFirstClosedDescriptor; fd <= kLastClosedDescriptor; ++fd) (void)close(fd);
  // Wherever the pipe landed, the child must not hold its write end: it would never see the
  // end of the stream.
  if (pipeRead != STDIN_FILENO) (void)close(pipeRead);
  (void)close(pipeWrite);
  int result = installerChildMain();
  fflush(stdout);
  fflush(stderr);
  // _exit: the parent's exit handlers and buffers are not the child's to run again.
  _exit(result >= 0 ? 0 : kChildFailed);
}

}  // namespace

FILE* startPackageInstaller() {
  if (pipedChild != -1) return nullptr;
  int ends[2];
  if (pipe(ends) != 0) return nullptr;
  // Pending console output would otherwise be written a second time by the child.
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  if (child == 0) runInstallerChild(ends[0], ends[1]);

  close(ends[0]);
  FILE* stream = fdopen(ends[1], "w");
  if (!stream) {
    // The child sees the end of an empty stream; reap it so that it is not left behind.
    close(ends[1]);
    int status = 0;
    (void)waitForChild(child, &status);
    return nullptr;
  }
  pipedChild = child;
  return stream;
}

int installerChildMain() {
  // Installing anywhere but the new root would write into the running installer's own tree.
  if (chroot(kTargetRoot) != 0 || chdir("/") != 0) {
    fprintf(stderr, "chroot %s: %s\n", kTargetRoot, strerror(errno));
    return -1;
  }
  Repo* repo = Repo::getRepo();
  if (!repo) return -1;
  if (!repoInitialised) {
    repoInitialised = true;
    if (!repo->init(false)) return -1;
  }
  std::map<std::string, bool> installed;
  return repo->installFrom(std::cin, 1, installed);
}
