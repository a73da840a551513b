// The installer child for real, as root: each test runs in a forked process with its own mount
// namespace in which a temporary directory is bind-mounted on /mnt, so the child's change of
// root lands there. Checks what reaches the target, the child's exit status, the pipe's
// behaviour when the child dies, and which descriptors the child keeps.
#include "core/package_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "core/signals.h"
#include "disk/tool_runner.h"
#include "support/package_builder.h"

namespace {

constexpr char kRootMarker[] = ".package-stream-test";

std::string readFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return "<missing>";
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  fclose(file);
  return text;
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

TestPackage samplePackage(const std::string& name, const std::string& payload) {
  TestPackage package;
  package.name = name;
  package.description = "test package " + name;
  package.directories = {"etc", "usr", "usr/share", "usr/share/" + name};
  package.files = {{"etc/" + name + ".conf", "option " + name + "\n"},
                   {"usr/share/" + name + "/data", payload}};
  return package;
}

// Writes `bytes` as the flows do: pieces of at most kCopyPieceSize, one item per call.
// Returns the number of bytes written before the first failed call, or -1 if none failed.
long writeStream(FILE* stream, const std::string& bytes, int* failedErrno) {
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

bool exitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class PackageStreamSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and chroot";
    char pattern[] = "/tmp/package_stream.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    ASSERT_TRUE(writeBytes(root + "/" + kRootMarker, ""));
  }
  void TearDown() override {
    if (root.empty()) return;
    std::string command = "rm -rf '" + root + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  // Runs `body` in a forked process that has its own mount namespace with `root` on /mnt, as
  // the installer does (signal handlers installed). Returns the body's result (0 = passed),
  // or 100+ when the namespace could not be made. Diagnostics go to standard error.
  int inTargetNamespace(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return 150;
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
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return 151;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
  }

  std::string root;
};

TEST_F(PackageStreamSandbox, ThreePackagesInOneStreamInstallIntoTheConfinedRoot) {
  std::string big(3 * kCopyPieceSize + 123, 'b');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i * 7 % 26);
  std::string stream = buildTestPackage(samplePackage("pst-one", "one")) +
                       buildTestPackage(samplePackage("pst-two", big)) +
                       buildTestPackage(samplePackage("pst-three", ""));
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    if (pipedChild <= 0) return 2;
    if (writeStream(installer, stream, nullptr) != -1) return 3;
    int status = closeTool(installer);
    if (!exitedWith(status, 0)) {
      fprintf(stderr, "installer child status %d\n", status);
      return 4;
    }
    return pipedChild == -1 ? 0 : 5;
  });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(readFile(root + "/etc/pst-one.conf"), "option pst-one\n");
  EXPECT_EQ(readFile(root + "/usr/share/pst-two/data"), big);
  EXPECT_EQ(readFile(root + "/usr/share/pst-three/data"), "");
  for (const char* name : {"pst-one", "pst-two", "pst-three"}) {
    std::string records = root + "/var/pdb/" + name;
    std::string info = readFile(records + "/PKGINFO");
    EXPECT_NE(info.find(std::string("pkgname = ") + name), std::string::npos) << info;
    std::string files = readFile(records + "/files");
    EXPECT_NE(files.find(std::string("etc/") + name + ".conf"), std::string::npos) << files;
    EXPECT_NE(files.find(std::string("usr/share/") + name + "/data"), std::string::npos) << files;
  }
  // Nothing landed outside the confined root.
  EXPECT_FALSE(exists("/var/pdb/pst-one"));
  EXPECT_FALSE(exists("/etc/pst-one.conf"));
}

TEST_F(PackageStreamSandbox, PackageCorruptedInItsLastBytesFailsTheChildAndLeavesNothing) {
  std::string good = buildTestPackage(samplePackage("pst-good", "fine"));
  std::string bad = buildTestPackage(samplePackage("pst-bad", std::string(10000, 'z')));
  ASSERT_GT(bad.size(), 8u);
  bad[bad.size() - 6] ^= 0x55;  // inside the gzip trailer's CRC-32
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    (void)writeStream(installer, good + bad, nullptr);  // the child may stop reading early
    int status = closeTool(installer);
    if (exitedWith(status, 0)) return 2;
    if (status >= 0 && !WIFEXITED(status)) return 3;
    return 0;
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
    if (!installer) return 1;
    int status = closeTool(installer);
    return exitedWith(status, 0) ? 0 : 2;
  });
  ASSERT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/etc"));
}

TEST_F(PackageStreamSandbox, ChildDyingMidTransferFailsTheNextWriteWithoutKillingTheParent) {
  std::string payload(1 << 20, 'p');
  uint32_t noise = 12345;  // incompressible, so the stream is far larger than the pipe
  for (char& c : payload) {
    noise = noise * 1103515245u + 12345u;
    c = static_cast<char>(noise >> 24);
  }
  std::string stream = buildTestPackage(samplePackage("pst-killed", payload));
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    pid_t child = pipedChild;
    std::string first = stream.substr(0, 8 * kCopyPieceSize);
    if (writeStream(installer, first, nullptr) != -1) return 2;
    fflush(installer);
    kill(child, SIGKILL);
    int failedErrno = 0;
    long writtenBeforeFailure = writeStream(installer, stream.substr(first.size()), &failedErrno);
    if (writtenBeforeFailure < 0) return 3;  // every write "succeeded" into a dead child
    if (failedErrno != EPIPE) {
      fprintf(stderr, "write failed with %d\n", failedErrno);
      return 4;
    }
    (void)closeTool(installer);
    if (pipedChild != -1) return 5;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) != -1) return 6;  // reaped by closeTool or SIGCHLD
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-killed"));
}

TEST_F(PackageStreamSandbox, LibraryRefusingTheStreamEndsTheChildAndTheWrites) {
  std::string garbage(256 * 1024, 'g');
  int result = inTargetNamespace([&] {
    FILE* installer = startPackageInstaller();
    if (!installer) return 1;
    int failedErrno = 0;
    if (writeStream(installer, garbage, &failedErrno) < 0) return 2;
    if (failedErrno != EPIPE) return 3;
    int status = closeTool(installer);
    if (exitedWith(status, 0)) return 4;  // a failed install never looks like success
    return pipedChild == -1 ? 0 : 5;
  });
  EXPECT_EQ(result, 0);
}

TEST_F(PackageStreamSandbox, ChildThatCannotChangeRootInstallsNothing) {
  std::string stream = buildTestPackage(samplePackage("pst-unconfined", "x"));
  int result = inTargetNamespace([&] {
    // Without privileges the change of root fails; the child must not install where it is.
    if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
    FILE* installer = startPackageInstaller();
    if (!installer) return 2;
    (void)writeStream(installer, stream, nullptr);
    int status = closeTool(installer);
    return exitedWith(status, 0) ? 3 : 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(root + "/var/pdb/pst-unconfined"));
}

TEST_F(PackageStreamSandbox, DescriptorsThreeToFifteenAreNotVisibleToTheChild) {
  int result = inTargetNamespace([&] {
    int marker = open((std::string("/mnt/") + kRootMarker).c_str(), O_RDONLY);
    if (marker < 0) return 1;
    // Fill every free descriptor from 3 to 15 with the marker file.
    for (int fd = 3; fd <= 15; ++fd) {
      if (fcntl(fd, F_GETFD) < 0) dup2(marker, fd);
    }
    // Whatever the parent holds there, the child must hold none of it.
    std::vector<std::pair<dev_t, ino_t>> parentFiles;
    for (int fd = 3; fd <= 15; ++fd) {
      struct stat info;
      if (fstat(fd, &info) == 0) parentFiles.push_back({info.st_dev, info.st_ino});
    }
    FILE* installer = startPackageInstaller();
    if (!installer) return 2;
    struct stat pipeInfo;
    if (fstat(fileno(installer), &pipeInfo) != 0) return 3;
    std::string fdDir = "/proc/" + std::to_string(pipedChild) + "/fd/";
    bool clean = false;
    for (int attempt = 0; attempt < 300 && !clean; ++attempt) {
      clean = true;
      struct stat input;
      if (stat((fdDir + "0").c_str(), &input) != 0 || input.st_ino != pipeInfo.st_ino) {
        clean = false;
      }
      for (int fd = 1; fd < 1024 && clean; ++fd) {
        struct stat info;
        if (stat((fdDir + std::to_string(fd)).c_str(), &info) != 0) continue;
        if (info.st_dev == pipeInfo.st_dev && info.st_ino == pipeInfo.st_ino) clean = false;
        for (const auto& file : parentFiles) {
          if (fd >= 3 && fd <= 15 && info.st_dev == file.first && info.st_ino == file.second)
            clean = false;
        }
      }
      if (!clean) usleep(10000);
    }
    int status = closeTool(installer);
    if (!clean) return 4;
    return exitedWith(status, 0) ? 0 : 5;
  });
  EXPECT_EQ(result, 0);
}

}  // namespace
