// The installer child for real, as root: each test runs in a forked process chrooted into a
// staged root, so the child's change of root to /mnt lands in its scratch directory. Checks the
// writes when the child stops reading or dies, and a child that cannot change root. What
// reaches the target is the floppy flow's test, the child's descriptors the child recipe's.
#include "stream/package_stream.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/child.h"
#include "base/signals.h"
#include "support/package_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string samplePackage(const std::string& name, const std::string& payload) {
  TestPackage package;
  package.name = name;
  package.directories = {"etc", "usr", "usr/share", "usr/share/" + name};
  package.files = {{"etc/" + name + ".conf", "option " + name + "\n"},
                   {"usr/share/" + name + "/data", payload}};
  return buildTestPackage(package);
}

// Bytes that do not compress, so a stream of them is far larger than the pipe.
std::string noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  return bytes;
}

bool writeBytes(FILE* installer, const std::string& bytes) {
  return writePackageBytes(installer, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

class PackageStreamSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and chroot";
    ASSERT_TRUE(staged.addDirectory("/mnt") && staged.addDirectory("/proc") &&
                staged.addDirectory("/dev/host"));
  }
  // Runs `body` chrooted into the staged root, with signal handlers as the installer has them;
  // returns its result (0 = passed).
  int inStagedRoot(const std::function<int()>& body) {
    ChildRun run = runInStagedRoot(staged, [&] {
      installSignalHandlers();
      return body();
    });
    return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 200;
  }
  ScratchDir dir;
  StagedRoot staged{dir.path()};
  std::string root = dir.path() + "/mnt";  // the installer child's "/"
};

// A child that stops reading (the stream is no package) or dies makes the writes fail instead
// of blocking, never kills the parent, and never looks like success.
TEST_F(PackageStreamSandbox, WritesFailOnceTheChildStopsOrDies) {
  std::string stream = samplePackage("pst-killed", noise(1 << 20));
  int result = inStagedRoot([&] {
    FILE* installer = startPackageInstaller();
    if (!installer || writeBytes(installer, std::string(256 * 1024, 'g'))) return 1;
    if (errno != EPIPE || closePackageInstaller(installer)) return 2;
    installer = startPackageInstaller();
    pid_t child = pipedChild;
    if (!installer || !writeBytes(installer, stream.substr(0, 8 * kCopyPieceSize))) return 3;
    kill(child, SIGKILL);
    if (writeBytes(installer, stream.substr(8 * kCopyPieceSize)) || errno != EPIPE) return 4;
    if (closePackageInstaller(installer) || pipedChild != -1) return 5;
    return waitpid(child, nullptr, WNOHANG) == -1 ? 0 : 6;  // reaped by closeTool or SIGCHLD
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-killed"));
}

TEST_F(PackageStreamSandbox, ChildThatCannotChangeRootFailsAndInstallsNothing) {
  chmod(dir.path().c_str(), 0777);  // an unconfined child could install into the root itself
  std::string stream = samplePackage("pst-unconfined", "x");
  int result = inStagedRoot([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
    FILE* installer = startPackageInstaller();
    if (!installer) return 2;
    (void)writeBytes(installer, stream);
    return closePackageInstaller(installer) ? 3 : 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(dir.path() + "/var"));
}

}  // namespace
