// The library as the installer runs it, as root: Repo::installFrom chrooted into a tiny tmpfs
// of a private mount namespace inside a scratch staged root, so nothing reaches the machine's /.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <iostream>

#include "support/qpk_builder.h"
#include "support/staged_root.h"

namespace {

using namespace qpktest;

TEST(Confined, refusedPackageEndsTheChildWithTheLibraryMessageAndLeavesNoTrace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and chroot";
  std::string data(4 << 20, '\0');  // four times the file system, and not compressible
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  // Refused: exit 1, the library's message, and nothing but the records' directory in the root.
  const struct {
    std::string package, message;
  } cases[] = {
      {buildQpk(pkgInfo("evil"), {file("ok", "x"), file("../../etc/x", "x")}),
       "libinstall: evil-1.0: '../../etc/x': path leaves the root ('..')\n"},
      {buildQpk(pkgInfo("huge"), {dir("opt"), file("opt/a", "small"), file("opt/huge", data)}),
       "libinstall: huge-1.0: 'opt/huge': write failed: No space left on device"},
  };
  for (const auto& c : cases) {
    ScratchDir tmp;
    StagedRoot staged(tmp.file("staged"));
    ASSERT_TRUE(staged.addDirectory("/dev/host") && staged.addDirectory("/proc") &&
                staged.addDirectory("/new") && staged.addFile("/stream", c.package));
    ChildRun run = runInStagedRoot(staged, [] {
      if (mount("tmpfs", "/new", "tmpfs", 0, "size=1m") != 0 || !freopen("/stream", "r", stdin) ||
          chroot("/new") != 0 || chdir("/") != 0 || !Repo::getRepo()->init(false))
        return 100;
      std::map<std::string, bool> installed;
      int code = Repo::getRepo()->installFrom(std::cin, kInstallReplaceFiles, installed) < 0;
      for (const std::string& path : listTree(".")) printf("%s\n", path.c_str());
      return code;
    });
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << run.status;
    EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
    EXPECT_EQ("var/\nvar/pdb/\n", run.out);
    EXPECT_EQ(std::vector<std::string>{}, listTree(staged.hostPath("/new")));
  }
}

}  // namespace
