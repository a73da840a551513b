// The installer child is started through the child recipe with the pipe as its standard input;
// the console stays its standard output so the library's own messages appear there. Writes go
// past stdio's buffer so that an interrupted write is seen, and handled, where it happens.
#include "stream/package_stream.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <string>

#include "base/child.h"
#include "base/signals.h"
#include "libinstall.h"

namespace {

constexpr char kTargetRoot[] = "/mnt";
constexpr int kChildFailed = 1;

int runInstallerChild(void*) {
  return installerChildMain();
}

}  // namespace

FILE* startPackageInstaller() {
  ChildSetup setup;
  setup.input = ChildStream::pipe;
  setup.output = ChildStream::inherit;
  setup.errors = ChildStream::inherit;
  return openPipedChild(setup, runInstallerChild, nullptr);
}

bool writePackageBytes(FILE* stream, const uint8_t* data, size_t size) {
  if (fflush(stream) != 0) return false;
  int fd = fileno(stream);
  while (size > 0) {
    size_t piece = size < kCopyPieceSize ? size : kCopyPieceSize;
    // A stream without a descriptor (a memory stream) has no pipe to be interrupted on.
    bool written =
        fd >= 0 ? writeAllWithAbort(fd, data, piece) : fwrite(data, piece, 1, stream) == 1;
    if (!written) return false;
    data += piece;
    size -= piece;
  }
  return true;
}

int64_t writePackageFile(FILE* stream, int fd) {
  uint8_t piece[kCopyPieceSize];
  int64_t copied = 0;
  for (;;) {
    ssize_t got = read(fd, piece, sizeof piece);
    if (got == 0) return copied;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    if (!writePackageBytes(stream, piece, static_cast<size_t>(got))) return -1;
    copied += got;
  }
}

bool closePackageInstaller(FILE* stream) {
  // The library reports a refused package only through the child's exit status.
  return closeTool(stream) == 0;
}

int installerChildMain() {
  // Installing anywhere but the new root would write into the running installer's own tree.
  if (chroot(kTargetRoot) != 0 || chdir("/") != 0) {
    fprintf(stderr, "chroot %s: %s\n", kTargetRoot, strerror(errno));
    return kChildFailed;
  }
  Repo* repo = Repo::getRepo();
  if (!repo || !repo->init(false)) return kChildFailed;
  std::map<std::string, bool> installed;
  return repo->installFrom(std::cin, 1, installed) >= 0 ? 0 : kChildFailed;
}
