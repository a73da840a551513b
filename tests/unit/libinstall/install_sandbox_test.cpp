// The library as the installer runs it: a child confined to the new root with chroot reads the
// package stream from its standard input through Repo::installFrom; and qpk install on a
// small real file system that fills up. Needs root.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <iostream>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

class Confined : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for chroot and mounts";
    root_ = tmp_ / "mnt";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  }

  // Runs installFrom(std::cin, 1, map) in a child chrooted to the root, feeding `stream` in
  // 4096-byte pieces as the installer does. Returns the child's exit status (1 when the library
  // returned -1); its standard error goes to `messages`.
  int runChild(const std::string& stream, std::string& messages) {
    int input[2];
    if (pipe(input) != 0) return -1;
    std::string errPath = tmp_ / "stderr";
    pid_t pid = fork();
    if (pid == 0) {
      dup2(input[0], 0);
      close(input[0]);
      close(input[1]);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      if (chroot(root_.c_str()) != 0 || chdir("/") != 0) _exit(3);
      Repo* repo = Repo::getRepo();
      if (!repo->init(false)) _exit(4);
      std::map<std::string, bool> installed;
      int result = repo->installFrom(std::cin, 1, installed);
      _exit(result < 0 ? 1 : 0);
    }
    close(input[0]);
    signal(SIGPIPE, SIG_IGN);
    for (size_t at = 0; at < stream.size(); at += 4096) {
      size_t n = stream.size() - at < 4096 ? stream.size() - at : 4096;
      if (write(input[1], stream.data() + at, n) != static_cast<ssize_t>(n)) break;
    }
    close(input[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    messages = readFile(errPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir tmp_;
  std::string root_;
};

TEST_F(Confined, childInstallsAStreamIntoItsRootAndRecordsIt) {
  std::string stream = buildQpk(pkgInfo("base"), {dir("etc"), file("etc/issue", "Trenavox\n")}) +
                       buildQpk(pkgInfo("net", "2", {"base"}),
                                {file("usr/sbin/netd", std::string(300000, 'n'), 0755)});
  std::string messages;
  EXPECT_EQ(0, runChild(stream, messages)) << messages;
  EXPECT_EQ("", messages);
  EXPECT_EQ("Trenavox\n", readFile(root_ + "/etc/issue"));
  EXPECT_EQ(std::string(300000, 'n'), readFile(root_ + "/usr/sbin/netd"));
  EXPECT_EQ("usr/sbin/netd\n", readFile(root_ + "/var/pdb/net/files"));
  EXPECT_FALSE(hasTempFiles(root_));
}

TEST_F(Confined, refusedPackageEndsTheChildNonZeroWithTheLibraryMessage) {
  std::string stream = buildQpk(pkgInfo("evil"), {file("ok", "x"), file("../../etc/x", "x")});
  std::string messages;
  EXPECT_EQ(1, runChild(stream, messages));
  EXPECT_EQ("libinstall: evil-1.0: '../../etc/x': path leaves the root ('..')\n", messages);
  EXPECT_EQ((std::vector<std::string>{"var/", "var/pdb/"}), listTree(root_));
}

TEST_F(Confined, emptyStreamIsASuccess) {
  std::string messages;
  EXPECT_EQ(0, runChild("", messages));
}

// A real, tiny file system fills up under qpk install: the package fails, nothing stays.
TEST_F(Confined, fullFileSystemFailsThePackageAndLeavesNoTrace) {
  std::string qpk = std::string(TRENAVOX_BINARY_DIR) + "/tools/qpk/qpk";
  if (access(qpk.c_str(), X_OK) != 0) GTEST_SKIP() << "qpk not built: " << qpk;
  std::string package = tmp_ / "huge.qpk";
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  ASSERT_TRUE(writeFile(package, buildQpk(pkgInfo("huge"), {dir("opt"), file("opt/a", "small"),
                                                            file("opt/huge", data)})));
  std::string out = tmp_ / "out";
  std::string script = "mount -t tmpfs -o size=1m tmpfs " + root_ + " && { " + qpk +
                       " install --root " + root_ + " " + package + " 2>" + out +
                       "; echo rc=$? >>" + out + "; find " + root_ + " -mindepth 1 | sort >>" +
                       out + "; df -k " + root_ + " | tail -n 1 >>" + out + "; }";
  ASSERT_EQ(0, system(("unshare -m sh -c '" + script + "'").c_str()));
  std::string report = readFile(out);
  EXPECT_NE(std::string::npos,
            report.find("huge-1.0: 'opt/huge': write failed: No space left on device"))
      << report;
  EXPECT_NE(std::string::npos, report.find("rc=1")) << report;
  std::string after = report.substr(report.find("rc="));
  EXPECT_EQ(std::string::npos, after.find("/opt")) << report;
  EXPECT_EQ(std::string::npos, report.find(".qpk-tmp.")) << report;
}

}  // namespace
