// The installer child for real, as root: each test runs in a forked process with its own mount
// namespace in which a temporary directory is bind-mounted on /mnt, so the child's change of
// root lands there. Checks what reaches the target (and nothing outside it), the child's exit
// status, and the writes when the child stops reading or dies. The child's descriptors and the
// one-piped-child rule belong to the child recipe's own tests.
#include "stream/package_stream.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/child.h"
#include "base/signals.h"
#include "support/package_builder.h"
#include "support/scratch_dir.h"
#include "support/wait_status.h"

namespace {

constexpr char kRootMarker[] = ".package-stream-test";

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
    ASSERT_TRUE(writeFile(dir.file(kRootMarker), ""));
    root = dir.path();
  }

  // Runs `body` in a forked process that has its own mount namespace with `root` on /mnt, as
  // the installer does (signal handlers installed). Returns the body's result (0 = passed),
  // or 100+ when the namespace could not be made.
  int inTargetNamespace(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNS) != 0) _exit(100);
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(101);
      if (mount(root.c_str(), "/mnt", nullptr, MS_BIND, nullptr) != 0) _exit(102);
      // Never let an installer child loose on anything but this test's own directory.
      if (access((std::string("/mnt/") + kRootMarker).c_str(), F_OK) != 0) _exit(103);
      installSignalHandlers();
      _exit(body());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
  }

  ScratchDir dir;
  std::string root;
};

TEST_F(PackageStreamSandbox, PackagesOfOneStreamInstallIntoTheConfinedRootOnly) {
  std::string big = noise(3 * kCopyPieceSize + 123);
  std::string stream = samplePackage("pst-one", "one") + samplePackage("pst-two", big) +
                       samplePackage("pst-three", "");
  int result = inTargetNamespace([&] {
    // An empty stream is a clean end too.
    FILE* installer = startPackageInstaller();
    if (!installer || !closePackageInstaller(installer)) return 1;
    installer = startPackageInstaller();
    if (!installer || !writeBytes(installer, stream)) return 2;
    if (!closePackageInstaller(installer)) return 3;
    return pipedChild == -1 ? 0 : 4;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(readFile(root + "/etc/pst-one.conf"), "option pst-one\n");
  EXPECT_EQ(readFile(root + "/usr/share/pst-two/data"), big);
  EXPECT_EQ(readFile(root + "/usr/share/pst-three/data"), "");
  EXPECT_TRUE(exists(root + "/var/pdb/pst-three/PKGINFO"));
  EXPECT_FALSE(exists("/var/pdb/pst-one"));
}

TEST_F(PackageStreamSandbox, RefusedStreamsFailTheChildAndEndTheWrites) {
  std::string good = samplePackage("pst-good", "fine");
  std::string bad = samplePackage("pst-bad", std::string(10000, 'z'));
  bad[bad.size() - 6] ^= 0x55;  // inside the gzip trailer's CRC-32
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    (void)writeBytes(installer, good + bad);  // the child may stop reading early
    if (closePackageInstaller(installer)) return 2;
    // Not a package at all: the child stops early, and the writes fail instead of blocking.
    installer = startPackageInstaller();
    if (!installer || writeBytes(installer, std::string(256 * 1024, 'g'))) return 3;
    if (errno != EPIPE) return 4;
    if (closePackageInstaller(installer)) return 5;  // never looks like success
    return pipedChild == -1 ? 0 : 6;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(readFile(root + "/etc/pst-good.conf"), "option pst-good\n");
  EXPECT_FALSE(exists(root + "/etc/pst-bad.conf"));
  EXPECT_FALSE(exists(root + "/usr/share/pst-bad"));
  EXPECT_FALSE(exists(root + "/var/pdb/pst-bad"));
}

TEST_F(PackageStreamSandbox, ChildDyingMidTransferFailsTheNextWriteWithoutKillingTheParent) {
  std::string stream = samplePackage("pst-killed", noise(1 << 20));
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    pid_t child = pipedChild;
    if (!installer || !writeBytes(installer, stream.substr(0, 8 * kCopyPieceSize))) return 1;
    kill(child, SIGKILL);
    if (writeBytes(installer, stream.substr(8 * kCopyPieceSize)) || errno != EPIPE) return 2;
    (void)closePackageInstaller(installer);
    if (pipedChild != -1) return 3;
    return waitpid(child, nullptr, WNOHANG) == -1 ? 0 : 4;  // reaped by closeTool or SIGCHLD
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-killed"));
}

TEST_F(PackageStreamSandbox, ChildThatCannotChangeRootInstallsNothing) {
  std::string stream = samplePackage("pst-unconfined", "x");
  int result = inTargetNamespace([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
    FILE* installer = startPackageInstaller();
    if (!installer) return 2;
    (void)writeBytes(installer, stream);
    return closePackageInstaller(installer) ? 3 : 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-unconfined"));
}

}  // namespace
