// Installing package streams into a directory: what arrives on disk, the package records, GNU
// tar's packages, streams of several packages, and what stays behind when a package fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_ / "root";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }

  TempDir tmp_;
  std::string root_;
};

TEST_F(Install, roundTripKeepsContentModesLinksAndTimes) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  Item tool = file("usr/bin/tool", "#!/bin/sh\n", 04755);
  tool.entry.mtime = 1234567890;
  Item fifo;
  fifo.entry.path = "run/fifo";
  fifo.entry.type = kTarFifo;
  fifo.entry.mode = 0600;
  std::string bytes =
      buildQpk(pkgInfo("tools", "3.1"), {dir("usr", 0755), dir("usr/bin", 0711), tool,
                                         link(kTarSymlink, "usr/bin/t", "tool"),
                                         link(kTarHardLink, "usr/bin/tool2", "usr/bin/tool"),
                                         file("usr/share/big", big), file("etc/empty", ""), fifo});
  InstallResult r = installBytes(root_, bytes);
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_TRUE(r.installed["tools"]);
  struct stat st;
  ASSERT_EQ(0, lstat(at("usr/bin/tool").c_str(), &st));
  EXPECT_EQ(04755u, st.st_mode & 07777);
  EXPECT_EQ(1234567890, st.st_mtime);
  EXPECT_EQ(2u, st.st_nlink);
  ASSERT_EQ(0, lstat(at("usr/bin").c_str(), &st));
  EXPECT_EQ(0711u, st.st_mode & 07777);
  char target[16] = {};
  EXPECT_EQ(4, readlink(at("usr/bin/t").c_str(), target, sizeof target));
  EXPECT_STREQ("tool", target);
  EXPECT_EQ(big, readFile(at("usr/share/big")));
  EXPECT_EQ("", readFile(at("etc/empty")));
  ASSERT_EQ(0, lstat(at("run/fifo").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_FALSE(hasTempFiles(root_));
}

TEST_F(Install, recordsEachPackageUnderVarPdb) {
  std::string info = pkgInfo("base", "1.0");
  InstallResult r = installBytes(root_, buildQpk(info, {dir("etc"), file("etc/motd", "hi\n")}));
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_EQ(info, readFile(at("var/pdb/base/PKGINFO")));
  EXPECT_EQ("etc/\netc/motd\n", readFile(at("var/pdb/base/files")));
}

TEST_F(Install, streamOfSeveralPackagesWithPaddingInstallsThemAll) {
  std::string stream = buildQpk(pkgInfo("a"), {file("a.txt", "a")}) + std::string(700, '\0') +
                       buildQpk(pkgInfo("b"), {file("b.txt", "b")}) + std::string(512, '\0');
  InstallResult r = installBytes(root_, stream);
  EXPECT_EQ(2, r.count) << r.error;
  EXPECT_EQ("a", readFile(at("a.txt")));
  EXPECT_EQ("b", readFile(at("b.txt")));
  EXPECT_EQ(2u, r.installed.size());
}

TEST_F(Install, emptyStreamInstallsNothingAndSucceeds) {
  InstallResult r = installBytes(root_, "");
  EXPECT_EQ(0, r.count);
  EXPECT_EQ(std::vector<std::string>{}, listTree(root_));
}

TEST_F(Install, laterPackageReplacesFilesOfAnEarlierOne) {
  ASSERT_EQ(1, installBytes(root_, buildQpk(pkgInfo("a", "1"), {file("etc/x", "old")})).count);
  InstallResult r = installBytes(root_, buildQpk(pkgInfo("a", "2"), {file("etc/x", "new")}));
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_EQ("new", readFile(at("etc/x")));
  EXPECT_NE(std::string::npos, readFile(at("var/pdb/a/PKGINFO")).find("pkgver = 2"));
}

TEST_F(Install, withoutReplaceAnExistingFileFailsThePackage) {
  ASSERT_TRUE(writeFile(at("keep"), "mine"));
  InstallResult r = installBytes(root_, buildQpk(pkgInfo("a"), {file("keep", "theirs")}), 0);
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("a-1.0: 'keep': file exists")) << r.error;
  EXPECT_EQ("mine", readFile(at("keep")));
}

TEST_F(Install, duplicateEntryLaterOneWins) {
  InstallResult r = installBytes(root_, buildQpk(pkgInfo("a"), {file("x", "1"), file("x", "2")}));
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_EQ("2", readFile(at("x")));
  EXPECT_FALSE(hasTempFiles(root_));
}

TEST_F(Install, gnuTarMadePackageIsAccepted) {
  std::string src = tmp_ / "src";
  ASSERT_EQ(0, mkdir(src.c_str(), 0755));
  ASSERT_TRUE(writeFile(src + "/.PKGINFO", pkgInfo("gnu", "1.2")));
  ASSERT_EQ(0, mkdir((src + "/usr").c_str(), 0755));
  ASSERT_EQ(0, mkdir((src + "/usr/lib").c_str(), 0755));
  ASSERT_TRUE(writeFile(src + "/usr/lib/data", std::string(100000, 'q')));
  ASSERT_EQ(0, symlink("data", (src + "/usr/lib/link").c_str()));
  ASSERT_EQ(0, ::link((src + "/usr/lib/data").c_str(), (src + "/usr/lib/hard").c_str()));
  std::string qpk = tmp_ / "gnu.qpk";
  for (const char* format : {"ustar", "gnu"}) {
    std::string cmd =
        std::string("cd ") + src + " && tar --format=" + format + " -czf " + qpk + " .PKGINFO usr";
    ASSERT_EQ(0, system(cmd.c_str()));
    InstallResult r = installBytes(root_, readFile(qpk));
    ASSERT_EQ(1, r.count) << format << ": " << r.error;
    EXPECT_EQ(std::string(100000, 'q'), readFile(at("usr/lib/hard")));
    PackageFile p;
    EXPECT_TRUE(p.readFrom(qpk));
    EXPECT_EQ("gnu-1.2", p.getFullName());
  }
  // "tar -C src ." puts "./" first: that root entry is skipped.
  ASSERT_EQ(
      0,
      system(("cd " + src + " && tar --format=ustar -czf " + qpk + " ./.PKGINFO ./usr").c_str()));
  EXPECT_EQ(1, installBytes(root_, readFile(qpk)).count);
}

TEST_F(Install, failedPackageAfterAGoodOneKeepsTheGoodOneAndReportsFailure) {
  std::string stream = buildQpk(pkgInfo("good"), {file("good", "g")}) +
                       buildQpk(pkgInfo("bad"), {file("bad1", "b"), file("/abs", "x")});
  InstallResult r = installBytes(root_, stream);
  EXPECT_EQ(-1, r.count);
  EXPECT_TRUE(r.installed["good"]);
  EXPECT_EQ(0u, r.installed.count("bad"));
  EXPECT_EQ("g", readFile(at("good")));
  EXPECT_EQ("<missing>", readFile(at("bad1")));
  EXPECT_EQ("<missing>", readFile(at("var/pdb/bad/files")));
}

TEST_F(Install, garbageAfterAGoodPackageFailsTheStreamButKeepsThePackage) {
  std::string stream = buildQpk(pkgInfo("good"), {file("good", "g")}) + "GARBAGE";
  InstallResult r = installBytes(root_, stream);
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("package 2 of the stream: not a package")) << r.error;
  EXPECT_EQ("g", readFile(at("good")));
}

// Disk full, as the kernel reports a write past the file size limit: the package fails and
// nothing of it stays. Runs in a child so the limit does not touch the test runner.
TEST_F(Install, fileLargerThanTheDiskAllowsFailsAndLeavesNothing) {
  std::string bytes = buildQpk(pkgInfo("huge"), {dir("opt"), file("opt/small", "s"),
                                                 file("opt/huge", std::string(8 << 20, 'h'))});
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    InstallResult r = installBytes(root_, bytes);
    bool named = r.error.find("huge-1.0: 'opt/huge': write failed") != std::string::npos;
    _exit(r.count == -1 && named ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<std::string> left = listTree(root_);
  EXPECT_EQ(std::vector<std::string>{}, left);
}

// Every truncation of a stream fails cleanly (or, at zero bytes, installs nothing).
TEST_F(Install, everyTruncationFailsWithoutLeavingFiles) {
  std::string bytes = buildQpk(
      pkgInfo("t"), {dir("d"), file("d/f", std::string(3000, 'x')), link(kTarSymlink, "d/s", "f")});
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    InstallResult r = installBytes(root_, bytes.substr(0, cut));
    EXPECT_EQ(cut == 0 ? 0 : -1, r.count) << cut;
    ASSERT_FALSE(hasTempFiles(root_)) << cut;
    ASSERT_EQ("<missing>", readFile(at("d/f"))) << cut;
  }
}

// Flipping any single byte never leaves temporary files and never installs altered content.
TEST_F(Install, everyFlippedByteIsCaughtOrHarmless) {
  std::string content(2000, 'c');
  std::string bytes = buildQpk(pkgInfo("f"), {file("f", content)});
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string copy = bytes;
    copy[i] = static_cast<char>(copy[i] ^ 0x21);
    InstallResult r = installBytes(root_, copy);
    ASSERT_FALSE(hasTempFiles(root_)) << i;
    if (r.count == 1) {
      EXPECT_EQ(content, readFile(at("f"))) << i;
    }
    (void)unlink(at("f").c_str());
  }
}

}  // namespace
