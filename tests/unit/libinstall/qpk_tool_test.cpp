// The qpk command line, driven as scripts use it: reproducible builds, metadata from options or
// a .PKGINFO file, info, list, check and install with their exit codes and messages.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include "support/qpk_builder.h"

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
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out_.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  ScratchDir tmp_;
  std::string qpk_ = std::string(TRENAVOX_BINARY_DIR) + "/tools/qpk/qpk";
  std::string out_;
};

// One scratch directory for the whole table: each command may use what earlier ones made.
TEST_F(QpkTool, commandsGiveTheirExitCodesAndMessages) {
  ASSERT_EQ(0, run("$Q build src -o t.qpk --name t --version 1")) << out_;
  std::string bytes = readFile(tmp_.file("t.qpk"));
  bytes[bytes.size() - 7] ^= 0x10;  // the gzip trailer's CRC-32: only a full read sees it
  ASSERT_TRUE(writeFile(tmp_.file("bad.qpk"), bytes));
  ASSERT_TRUE(writeFile(tmp_.file("evil.qpk"), buildQpk(pkgInfo("evil"), {file("/etc/x", "x")})));
  const struct {
    std::string command;
    int status;
    std::string output;  // a part of it, or all of it when it ends in "\n"
  } cases[] = {
      // The same package whatever the file times; SOURCE_DATE_EPOCH gives every entry's time.
      {"B=\"$Q build src --name tool --version 1.2 --desc A --depend base\" && $B -o a.qpk && "
       "touch -d @1000 src/bin/tool && $B -o b.qpk && cmp a.qpk b.qpk",
       0, ""},
      {"SOURCE_DATE_EPOCH=1700000000 $Q build src -o c.qpk --name t --version 1 && $Q list c.qpk",
       0,
       "# t-1\nd0755 0/0            0 bin/\nl0777 0/0            0 bin/t -> tool\n"
       "-0755 0/0           18 bin/tool\n"},
      {"tar -tvzf c.qpk | grep -c ' 2023-11-14 '", 0, "4\n"},
      {"$Q", 2, ""},
      {"$Q frobnicate", 2, "qpk: unknown command frobnicate"},
      {"$Q --help", 0, "qpk install --root DIR"},
      {"$Q build src -o x.qpk", 1, "qpk: no package name: give --name and --version"},
      {"echo junk >junk.qpk && $Q info junk.qpk", 1, "qpk: junk.qpk: not a readable package\n"},
      {"$Q check junk.qpk", 1, "qpk: junk.qpk: package 1 of the stream: not a package"},
      {"printf 'pkgname = tool\\npkgver = 3\\npkgdesc = From file\\ndepend = base\\n"
       "depend = libc\\n' >src/.PKGINFO && $Q build src -o i.qpk && $Q info i.qpk",
       0, "file: i.qpk\nname: tool\nversion: 3\ndescription: From file\ndepends: base libc\n"},
      {"$Q check t.qpk bad.qpk", 1, "t.qpk: ok, 1 package"},
      {"$Q check bad.qpk", 1, "qpk: bad.qpk: t-1: corrupt package: gzip CRC-32 mismatch"},
      {"mkdir root && $Q install --root root -v - < t.qpk", 0, "installed t\n"},
      {"$Q install --root root evil.qpk", 1, "qpk: evil.qpk: evil-1.0: '/etc/x': absolute path\n"},
      {"$Q install --root missing t.qpk", 1, ""},
      {"$Q install --root root --no-replace t.qpk", 1, "file exists and replacing is off"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, run(c.command)) << c.command << "\n" << out_;
    if (!c.output.empty() && c.output.back() == '\n') {
      EXPECT_EQ(c.output, out_) << c.command;
    } else {
      EXPECT_NE(out_.find(c.output), std::string::npos) << c.command << "\n" << out_;
    }
  }
}

}  // namespace
