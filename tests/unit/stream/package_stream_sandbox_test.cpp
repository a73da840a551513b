// The installer child for real, as root: each test runs in a forked process with its own mount
// namespace in which a temporary directory is bind-mounted on /mnt, so the child's change of
// root lands there. Checks what reaches the target, the child's exit status, the pipe's
// behaviour when the child dies, and which descriptors the child keeps.
#include "base/child.h"
#include "stream/package_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/signals.h"
#include "disk/tool_runner.h"
#include "support/qpk_builder.h"
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
  package.description = "test package " + name;
  package.directories = {"etc", "usr", "usr/share", "usr/share/" + name};
  package.files = {{"etc/" + name + ".conf", "option " + name + "\n"},
                   {"usr/share/" + name + "/data", payload}};
  return buildTestPackage(package);
}

// Bytes that do not compress, so a stream of them is far larger than the pipe.
std::string noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Writes `bytes` as the flows do: pieces of at most kCopyPieceSize, one item per call.
// Returns the number of bytes written before the first failed call, or -1 if none failed.
long writeStream(FILE* stream, const std::string& bytes, int* failedErrno = nullptr) {
  for (size_t done = 0; done < bytes.size(); done += kCopyPieceSize) {
    size_t piece = std::min(bytes.size() - done, static_cast<size_t>(kCopyPieceSize));
    errno = 0;
    if (fwrite(bytes.data() + done, piece, 1, stream) != 1) {
      if (failedErrno) *failedErrno = errno;
      return static_cast<long>(done);
    }
  }
  return -1;
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
      int result = body();
      fflush(nullptr);
      _exit(result);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return 151;
    }
    if (child < 0) return 150;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
  }

  ScratchDir dir;
  std::string root;
};

TEST_F(PackageStreamSandbox, ThreePackagesInOneStreamInstallIntoTheConfinedRoot) {
  std::string big = noise(3 * kCopyPieceSize + 123);
  std::string stream = samplePackage("pst-one", "one") + samplePackage("pst-two", big) +
                       samplePackage("pst-three", "");
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer || pipedChild <= 0) return 1;
    if (writeStream(installer, stream) != -1) return 2;
    int status = closeTool(installer);
    if (!exitedWith(status, 0)) return 3;
    return pipedChild == -1 ? 0 : 4;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(readFile(root + "/etc/pst-one.conf"), "option pst-one\n");
  EXPECT_EQ(readFile(root + "/usr/share/pst-two/data"), big);
  EXPECT_EQ(readFile(root + "/usr/share/pst-three/data"), "");
  for (std::string name : {"pst-one", "pst-two", "pst-three"}) {
    std::string info = readFile(root + "/var/pdb/" + name + "/PKGINFO");
    EXPECT_NE(info.find("pkgname = " + name), std::string::npos) << info;
    std::string files = readFile(root + "/var/pdb/" + name + "/files");
    EXPECT_NE(files.find("etc/" + name + ".conf"), std::string::npos) << files;
    EXPECT_NE(files.find("usr/share/" + name + "/data"), std::string::npos) << files;
  }
  EXPECT_FALSE(exists("/var/pdb/pst-one"));  // nothing landed outside the confined root
}

TEST_F(PackageStreamSandbox, RefusedStreamsFailTheChildAndEndTheWrites) {
  std::string good = samplePackage("pst-good", "fine");
  std::string bad = samplePackage("pst-bad", std::string(10000, 'z'));
  bad[bad.size() - 6] ^= 0x55;  // inside the gzip trailer's CRC-32
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    (void)writeStream(installer, good + bad);  // the child may stop reading early
    if (exitedWith(closeTool(installer), 0)) return 2;
    // Not a package at all: the child stops early, and the writes fail instead of blocking.
    installer = startPackageInstaller();
    if (!installer) return 3;
    int failedErrno = 0;
    if (writeStream(installer, std::string(256 * 1024, 'g'), &failedErrno) < 0) return 4;
    if (failedErrno != EPIPE) return 5;
    if (exitedWith(closeTool(installer), 0)) return 6;  // never looks like success
    return pipedChild == -1 ? 0 : 7;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(readFile(root + "/etc/pst-good.conf"), "option pst-good\n");
  EXPECT_TRUE(exists(root + "/var/pdb/pst-good/PKGINFO"));
  EXPECT_FALSE(exists(root + "/etc/pst-bad.conf"));
  EXPECT_FALSE(exists(root + "/usr/share/pst-bad"));
  EXPECT_FALSE(exists(root + "/var/pdb/pst-bad"));
}

TEST_F(PackageStreamSandbox, EmptyStreamEndsTheChildCleanly) {
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    return installer && exitedWith(closeTool(installer), 0) ? 0 : 1;
  });
  ASSERT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/etc"));
}

TEST_F(PackageStreamSandbox, ChildDyingMidTransferFailsTheNextWriteWithoutKillingTheParent) {
  std::string stream = samplePackage("pst-killed", noise(1 << 20));
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    pid_t child = pipedChild;
    std::string first = stream.substr(0, 8 * kCopyPieceSize);
    if (writeStream(installer, first) != -1) return 2;
    fflush(installer);
    kill(child, SIGKILL);
    int failedErrno = 0;
    if (writeStream(installer, stream.substr(first.size()), &failedErrno) < 0) return 3;
    if (failedErrno != EPIPE) return 4;
    (void)closeTool(installer);
    if (pipedChild != -1) return 5;
    int status = 0;
    return waitpid(child, &status, WNOHANG) == -1 ? 0 : 6;  // reaped by closeTool or SIGCHLD
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
    (void)writeStream(installer, stream);
    return exitedWith(closeTool(installer), 0) ? 3 : 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-unconfined"));
}

TEST_F(PackageStreamSandbox, DescriptorsThreeToFifteenAreNotVisibleToTheChild) {
  int result = inTargetNamespace([&] {
    int marker = open((std::string("/mnt/") + kRootMarker).c_str(), O_RDONLY);
    for (int fd = 3; fd <= 15 && marker >= 0; ++fd) {
      if (fcntl(fd, F_GETFD) < 0) dup2(marker, fd);  // every free one holds the marker file
    }
    FILE* installer = startPackageInstaller();
    struct stat markerInfo, pipeInfo, info;
    if (!installer || fstat(marker, &markerInfo) != 0 || fstat(fileno(installer), &pipeInfo) != 0)
      return 1;
    auto same = [](const struct stat& a, const struct stat& b) {
      return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    };
    std::string fdDir = "/proc/" + std::to_string(pipedChild) + "/fd/";
    // The child may still be closing descriptors: look until it has its pipe end as input,
    // and neither the pipe's other end nor the marker anywhere else.
    bool clean = false;
    for (int attempt = 0; attempt < 300 && !clean; ++attempt) {
      clean = stat((fdDir + "0").c_str(), &info) == 0 && same(info, pipeInfo);
      for (int fd = 1; fd < 1024 && clean; ++fd) {
        if (stat((fdDir + std::to_string(fd)).c_str(), &info) != 0) continue;
        clean = !same(info, pipeInfo) && !same(info, markerInfo);
      }
      if (!clean) usleep(10000);
    }
    int status = closeTool(installer);
    return !clean ? 2 : exitedWith(status, 0) ? 0 : 3;
  });
  EXPECT_EQ(result, 0);
}

}  // namespace
