// The qpk command line, driven as scripts use it: reproducible builds, metadata from options,
// info, list, check and install with their exit codes and messages.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utime.h>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

class QpkTool : public ::testing::Test {
 protected:
  void SetUp() override {
    qpk_ = std::string(TRENAVOX_BINARY_DIR) + "/tools/qpk/qpk";
    if (access(qpk_.c_str(), X_OK) != 0) GTEST_SKIP() << "qpk not built: " << qpk_;
    src_ = tmp_ / "src";
    ASSERT_EQ(0, mkdir(src_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((src_ + "/bin").c_str(), 0755));
    ASSERT_TRUE(writeFile(src_ + "/bin/tool", "#!/bin/sh\necho hi\n"));
    ASSERT_EQ(0, chmod((src_ + "/bin/tool").c_str(), 0755));
    ASSERT_EQ(0, symlink("tool", (src_ + "/bin/t").c_str()));
  }

  // Runs a shell command line with qpk as $Q; returns the exit status, output in `out`.
  int run(const std::string& args, std::string& out) {
    std::string cmd = "cd " + tmp_.path() + " && Q=" + qpk_ + "; " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir tmp_;
  std::string qpk_, src_;
};

TEST_F(QpkTool, buildIsReproducibleWhateverTheFileTimes) {
  std::string out;
  ASSERT_EQ(
      0, run("$Q build src -o a.qpk --name tool --version 1.2 --desc 'A tool' --depend base", out))
      << out;
  struct utimbuf times = {1000, 1000};
  ASSERT_EQ(0, utime((src_ + "/bin/tool").c_str(), &times));
  ASSERT_EQ(
      0, run("$Q build src -o b.qpk --name tool --version 1.2 --desc 'A tool' --depend base", out))
      << out;
  EXPECT_EQ(readFile(tmp_ / "a.qpk"), readFile(tmp_ / "b.qpk"));
  ASSERT_EQ(
      0, run("SOURCE_DATE_EPOCH=1700000000 $Q build src -o c.qpk --name tool --version 1.2", out));
  ASSERT_EQ(0, run("$Q list c.qpk", out));
  EXPECT_NE(std::string::npos, out.find("-0755 0/0           18 bin/tool")) << out;
  EXPECT_NE(std::string::npos, out.find("l0777 0/0            0 bin/t -> tool")) << out;
  ASSERT_EQ(0, run("tar -tvzf c.qpk", out)) << out;
  EXPECT_NE(std::string::npos, out.find("2023-11-14")) << out;
}

TEST_F(QpkTool, infoShowsTheMetadataFromThePkgInfoFile) {
  ASSERT_TRUE(writeFile(src_ + "/.PKGINFO",
                        "pkgname = tool\npkgver = 3\npkgdesc = From file\n"
                        "depend = base\ndepend = libc\n"));
  std::string out;
  ASSERT_EQ(0, run("$Q build src -o t.qpk && $Q info t.qpk", out)) << out;
  EXPECT_EQ("file: t.qpk\nname: tool\nversion: 3\ndescription: From file\ndepends: base libc\n",
            out);
}

TEST_F(QpkTool, exitCodesTellUsageErrorsFromBadPackages) {
  std::string out;
  EXPECT_EQ(2, run("$Q", out));
  EXPECT_EQ(2, run("$Q frobnicate", out));
  EXPECT_NE(std::string::npos, out.find("qpk: unknown command frobnicate")) << out;
  EXPECT_EQ(2, run("$Q build src", out));
  EXPECT_EQ(0, run("$Q --help", out));
  EXPECT_NE(std::string::npos, out.find("qpk install --root DIR")) << out;
  EXPECT_EQ(1, run("$Q build src -o x.qpk", out));  // no metadata
  EXPECT_NE(std::string::npos, out.find("qpk: no package name: give --name and --version")) << out;
  ASSERT_TRUE(writeFile(tmp_ / "junk.qpk", "junk"));
  EXPECT_EQ(1, run("$Q info junk.qpk", out));
  EXPECT_EQ("qpk: junk.qpk: not a readable package\n", out);
  EXPECT_EQ(1, run("$Q check junk.qpk", out));
  EXPECT_NE(std::string::npos, out.find("qpk: junk.qpk: package 1 of the stream: not a package"));
}

TEST_F(QpkTool, checkFindsCorruptionThatInfoDoesNotRead) {
  std::string out;
  ASSERT_EQ(0, run("$Q build src -o t.qpk --name t --version 1", out)) << out;
  std::string bytes = readFile(tmp_ / "t.qpk");
  bytes[bytes.size() - 7] ^= 0x10;
  ASSERT_TRUE(writeFile(tmp_ / "bad.qpk", bytes));
  EXPECT_EQ(0, run("$Q info bad.qpk >/dev/null", out));
  EXPECT_EQ(1, run("$Q check t.qpk bad.qpk", out));
  EXPECT_NE(std::string::npos, out.find("t.qpk: ok, 1 package")) << out;
  EXPECT_NE(std::string::npos, out.find("qpk: bad.qpk: t-1: corrupt package: gzip CRC-32 mismatch"))
      << out;
}

TEST_F(QpkTool, installFromStdinAndFilesIntoARoot) {
  std::string out;
  ASSERT_EQ(0, run("$Q build src -o a.qpk --name a --version 1 && mkdir root && "
                   "$Q install --root root -v - < a.qpk",
                   out))
      << out;
  EXPECT_EQ("installed a\n", out);
  EXPECT_EQ("#!/bin/sh\necho hi\n", readFile(tmp_ / "root/bin/tool"));
  std::string evil = buildQpk(pkgInfo("evil"), {file("/etc/x", "x")});
  ASSERT_TRUE(writeFile(tmp_ / "evil.qpk", evil));
  EXPECT_EQ(1, run("$Q install --root root evil.qpk", out));
  EXPECT_EQ("qpk: evil.qpk: evil-1.0: '/etc/x': absolute path\n", out);
  EXPECT_EQ(1, run("$Q install --root missing a.qpk", out));
  EXPECT_EQ(1, run("$Q install --root root --no-replace a.qpk", out));
  EXPECT_NE(std::string::npos, out.find("file exists and replacing is off")) << out;
}

}  // namespace
