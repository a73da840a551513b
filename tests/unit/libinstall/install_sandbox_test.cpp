// The library as the installer runs it, as root: Repo::installFrom in a child confined with
// chroot to a small real file system. The child has its own mount namespace with a fresh tmpfs
// as that root, so nothing it does, confined or not, reaches the machine's own directories.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <iostream>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

TEST(Confined, installsIntoTheRootAndRefusesWithTheLibraryMessage) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and chroot";
  std::string data(4 << 20, '\0');  // four times the file system, and not compressible
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::vector<std::string> empty = {"var/", "var/pdb/"};
  const struct {
    std::string package;
    int exitCode;
    std::string messages;  // exact; a part of them when it does not end in "\n"
    std::vector<std::string> tree;
  } cases[] = {
      {buildQpk(pkgInfo("good"), {file("etc/motd", "hi")}),
       0,
       "",
       {"etc/", "etc/motd", "var/", "var/pdb/", "var/pdb/good/", "var/pdb/good/PKGINFO",
        "var/pdb/good/files"}},
      {buildQpk(pkgInfo("evil"), {file("ok", "x"), file("../../etc/x", "x")}), 1,
       "libinstall: evil-1.0: '../../etc/x': path leaves the root ('..')\n", empty},
      {buildQpk(pkgInfo("huge"), {dir("opt"), file("opt/a", "small"), file("opt/huge", data)}), 1,
       "libinstall: huge-1.0: 'opt/huge': write failed: No space left on device", empty},
  };
  for (const auto& c : cases) {
    ScratchDir tmp;
    std::string root = tmp.file("root"), stream = tmp.file("stream"), messages = tmp.file("err"),
                tree = tmp.file("tree");
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    ASSERT_TRUE(writeFile(stream, c.package));
    pid_t pid = fork();
    if (pid == 0) {
      int in = open(stream.c_str(), O_RDONLY);
      int err = open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int listing = open(tree.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || err < 0 || listing < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0) _exit(100);
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        _exit(101);
      if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m") != 0) _exit(102);
      if (chroot(root.c_str()) != 0 || chdir("/") != 0 || !Repo::getRepo()->init(false)) _exit(103);
      std::map<std::string, bool> installed;
      int code = Repo::getRepo()->installFrom(std::cin, kInstallReplaceFiles, installed) < 0;
      for (const std::string& path : listTree(".")) dprintf(listing, "%s\n", path.c_str());
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status;
    std::string written = readFile(messages), expectedTree;
    if (c.messages.empty() || c.messages.back() == '\n') {
      EXPECT_EQ(c.messages, written);
    } else {
      EXPECT_NE(std::string::npos, written.find(c.messages)) << written;
    }
    for (const std::string& path : c.tree) expectedTree += path + "\n";
    EXPECT_EQ(expectedTree, readFile(tree));  // no temporary file, nothing of a failed package
    EXPECT_EQ(std::vector<std::string>{}, listTree(root));  // the tmpfs went with the namespace
  }
}

}  // namespace
