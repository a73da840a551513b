// The library as the installer runs it, as root: Repo::installFrom in a child confined to the
// new root with chroot (the installer's streaming child is tested with it in core), and qpk
// install on a small real file system that fills up.
#include <gtest/gtest.h>

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
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  }
  ScratchDir tmp_;
  std::string root_ = tmp_.file("mnt");
};

TEST_F(Confined, refusedPackageEndsTheChildNonZeroWithTheLibraryMessage) {
  std::string stream = tmp_.file("stream"), messages = tmp_.file("stderr");
  ASSERT_TRUE(
      writeFile(stream, buildQpk(pkgInfo("evil"), {file("ok", "x"), file("../../etc/x", "x")})));
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(stream.c_str(), O_RDONLY);
    int err = open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0) _exit(2);
    if (chroot(root_.c_str()) != 0 || chdir("/") != 0 || !Repo::getRepo()->init(false)) _exit(3);
    std::map<std::string, bool> installed;
    _exit(Repo::getRepo()->installFrom(std::cin, 1, installed) < 0 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ("libinstall: evil-1.0: '../../etc/x': path leaves the root ('..')\n",
            readFile(messages));
  EXPECT_EQ((std::vector<std::string>{"var/", "var/pdb/"}), listTree(root_));
}

// A real, tiny file system fills up under qpk install: the package fails, nothing stays.
TEST_F(Confined, fullFileSystemFailsThePackageAndLeavesNoTrace) {
  std::string qpk = std::string(TRENAVOX_BINARY_DIR) + "/tools/qpk/qpk";
  if (access(qpk.c_str(), X_OK) != 0) GTEST_SKIP() << "qpk not built: " << qpk;
  std::string package = tmp_.file("huge.qpk");
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  ASSERT_TRUE(writeFile(package, buildQpk(pkgInfo("huge"), {dir("opt"), file("opt/a", "small"),
                                                            file("opt/huge", data)})));
  std::string out = tmp_.file("out");
  std::string script = "mount -t tmpfs -o size=1m tmpfs " + root_ + " && { " + qpk +
                       " install --root " + root_ + " " + package + " 2>" + out +
                       "; echo rc=$? >>" + out + "; find " + root_ + " -mindepth 1 | sort >>" +
                       out + "; }";
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
