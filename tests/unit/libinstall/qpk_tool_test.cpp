// The qpk command line, driven as scripts use it: reproducible builds, metadata from options,
// info, list, check and install with their exit codes and messages.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

class QpkTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(qpk_.c_str(), X_OK) != 0) GTEST_SKIP() << "qpk not built: " << qpk_;
    ASSERT_EQ(0, run("mkdir -p src/bin && printf '#!/bin/sh\\necho hi\\n' >src/bin/tool && "
                     "chmod 755 src/bin/tool && ln -s tool src/bin/t"));
  }

  // Runs a shell command line in the scratch directory with qpk as $Q; returns the exit status
  // and leaves standard output and error in out_.
  int run(const std::string& args) {
    std::string cmd =
        "cd " + tmp_.path() + " && Q=\"" TRENAVOX_RUN_PREFIX + qpk_ + "\"; " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    out_.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out_.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool printed(const std::string& text) const { return out_.find(text) != std::string::npos; }

  ScratchDir tmp_;
  std::string qpk_ = std::string(TRENAVOX_BINARY_DIR) + "/tools/qpk/qpk";
  std::string out_;
};

TEST_F(QpkTool, buildIsReproducibleWhateverTheFileTimes) {
  const std::string build = "$Q build src --name tool --version 1.2 --desc 'A tool' --depend base";
  ASSERT_EQ(0, run(build + " -o a.qpk")) << out_;
  ASSERT_EQ(0, run("touch -d @1000 src/bin/tool && " + build + " -o b.qpk")) << out_;
  EXPECT_EQ(readFile(tmp_.file("a.qpk")), readFile(tmp_.file("b.qpk")));
  ASSERT_EQ(0, run("SOURCE_DATE_EPOCH=1700000000 $Q build src -o c.qpk --name t --version 1"));
  ASSERT_EQ(0, run("$Q list c.qpk"));
  EXPECT_TRUE(printed("-0755 0/0           18 bin/tool")) << out_;
  EXPECT_TRUE(printed("l0777 0/0            0 bin/t -> tool")) << out_;
  ASSERT_EQ(0, run("tar -tvzf c.qpk")) << out_;
  EXPECT_TRUE(printed("2023-11-14")) << out_;
}

TEST_F(QpkTool, infoShowsTheMetadataFromThePkgInfoFile) {
  ASSERT_TRUE(writeFile(tmp_.file("src/.PKGINFO"),
                        "pkgname = tool\npkgver = 3\npkgdesc = From file\n"
                        "depend = base\ndepend = libc\n"));
  ASSERT_EQ(0, run("$Q build src -o t.qpk && $Q info t.qpk")) << out_;
  EXPECT_EQ("file: t.qpk\nname: tool\nversion: 3\ndescription: From file\ndepends: base libc\n",
            out_);
}

TEST_F(QpkTool, exitCodesTellUsageErrorsFromBadPackages) {
  EXPECT_EQ(2, run("$Q"));
  EXPECT_EQ(2, run("$Q build src"));
  EXPECT_EQ(2, run("$Q frobnicate"));
  EXPECT_TRUE(printed("qpk: unknown command frobnicate")) << out_;
  EXPECT_EQ(0, run("$Q --help"));
  EXPECT_TRUE(printed("qpk install --root DIR")) << out_;
  EXPECT_EQ(1, run("$Q build src -o x.qpk"));
  EXPECT_TRUE(printed("qpk: no package name: give --name and --version")) << out_;
  ASSERT_TRUE(writeFile(tmp_.file("junk.qpk"), "junk"));
  EXPECT_EQ(1, run("$Q info junk.qpk"));
  EXPECT_EQ("qpk: junk.qpk: not a readable package\n", out_);
  EXPECT_EQ(1, run("$Q check junk.qpk"));
  EXPECT_TRUE(printed("qpk: junk.qpk: package 1 of the stream: not a package")) << out_;
}

TEST_F(QpkTool, checkFindsCorruptionThatInfoDoesNotRead) {
  ASSERT_EQ(0, run("$Q build src -o t.qpk --name t --version 1")) << out_;
  std::string bytes = readFile(tmp_.file("t.qpk"));
  bytes[bytes.size() - 7] ^= 0x10;
  ASSERT_TRUE(writeFile(tmp_.file("bad.qpk"), bytes));
  EXPECT_EQ(0, run("$Q info bad.qpk >/dev/null"));
  EXPECT_EQ(1, run("$Q check t.qpk bad.qpk"));
  EXPECT_TRUE(printed("t.qpk: ok, 1 package")) << out_;
  EXPECT_TRUE(printed("qpk: bad.qpk: t-1: corrupt package: gzip CRC-32 mismatch")) << out_;
}

TEST_F(QpkTool, installFromStdinAndFilesIntoARoot) {
  ASSERT_EQ(0, run("$Q build src -o a.qpk --name a --version 1 && mkdir root && "
                   "$Q install --root root -v - < a.qpk"))
      << out_;
  EXPECT_EQ("installed a\n", out_);
  EXPECT_EQ("#!/bin/sh\necho hi\n", readFile(tmp_.file("root/bin/tool")));
  ASSERT_TRUE(writeFile(tmp_.file("evil.qpk"), buildQpk(pkgInfo("evil"), {file("/etc/x", "x")})));
  EXPECT_EQ(1, run("$Q install --root root evil.qpk"));
  EXPECT_EQ("qpk: evil.qpk: evil-1.0: '/etc/x': absolute path\n", out_);
  EXPECT_EQ(1, run("$Q install --root missing a.qpk"));
  EXPECT_EQ(1, run("$Q install --root root --no-replace a.qpk"));
  EXPECT_TRUE(printed("file exists and replacing is off")) << out_;
}

}  // namespace
