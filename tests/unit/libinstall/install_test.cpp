// Installing package streams into a directory: what arrives on disk, the package records, GNU
// tar's packages, streams of several packages, and what stays behind when a package fails or
// its bytes are cut or damaged anywhere.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <tuple>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

class Install : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, mkdir(root_.c_str(), 0755)); }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }

  ScratchDir tmp_;
  std::string root_ = tmp_.file("root");
};

TEST_F(Install, roundTripKeepsContentModesLinksTimesAndRecordsThePackage) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  Item script = file("usr/bin/tool", "#!/bin/sh\n", 04755);
  script.entry.mtime = 1234567890;
  std::string info = pkgInfo("tools", "3.1");
  InstallResult r = installBytes(
      root_,
      buildQpk(info,
               {dir("usr"), dir("usr/bin", 0711), script, link(kTarSymlink, "usr/bin/t", "tool"),
                link(kTarHardLink, "usr/bin/tool2", "usr/bin/tool"), file("usr/share/big", big),
                file("etc/empty", ""), item(kTarFifo, "run/fifo", "", 0600)}));
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_TRUE(r.installed["tools"]);
  struct stat tool, bin, fifo;
  ASSERT_EQ(0, lstat(at("usr/bin/tool").c_str(), &tool) | lstat(at("usr/bin").c_str(), &bin) |
                   lstat(at("run/fifo").c_str(), &fifo));
  EXPECT_EQ(std::make_tuple(0104755u, 1234567890L, 2ul, 040711u, 010600u),
            std::make_tuple(tool.st_mode, tool.st_mtime, tool.st_nlink, bin.st_mode, fifo.st_mode));
  char target[16] = {};
  EXPECT_EQ(4, readlink(at("usr/bin/t").c_str(), target, sizeof target));
  EXPECT_STREQ("tool", target);
  EXPECT_EQ(big, readFile(at("usr/share/big")));
  EXPECT_EQ("", readFile(at("etc/empty")));
  EXPECT_FALSE(hasTempFiles(root_));
  EXPECT_EQ(info, readFile(at("var/pdb/tools/PKGINFO")));
  EXPECT_EQ(
      "usr/\nusr/bin/\nusr/bin/tool\nusr/bin/t\nusr/bin/tool2\nusr/share/big\netc/empty\nrun/"
      "fifo\n",
      readFile(at("var/pdb/tools/files")));
}

TEST_F(Install, laterFilesReplaceEarlierOnesUnlessReplacingIsOff) {
  ASSERT_EQ(1, installBytes(root_, buildQpk(pkgInfo("a", "1"), {file("x", "old")})).count);
  InstallResult r =
      installBytes(root_, buildQpk(pkgInfo("a", "2"), {file("x", "1"), file("x", "2")}));
  ASSERT_EQ(1, r.count) << r.error;
  EXPECT_EQ("2", readFile(at("x")));
  EXPECT_NE(std::string::npos, readFile(at("var/pdb/a/PKGINFO")).find("pkgver = 2"));
  r = installBytes(root_, buildQpk(pkgInfo("b"), {file("x", "theirs")}), 0);
  EXPECT_NE(std::string::npos, r.error.find("b-1.0: 'x': file exists")) << r.error;
  EXPECT_FALSE(hasTempFiles(root_));
}

TEST_F(Install, gnuTarMadePackageIsAccepted) {
  std::string src = tmp_.file("src"), qpk = tmp_.file("gnu.qpk");
  ASSERT_EQ(0, system(("mkdir -p " + src + "/usr/lib && cd " + src +
                       " && head -c 100000 /dev/zero | tr '\\0' q >usr/lib/data"
                       " && ln -s data usr/lib/link && ln usr/lib/data usr/lib/hard")
                          .c_str()));
  ASSERT_TRUE(writeFile(src + "/.PKGINFO", pkgInfo("gnu", "1.2")));
  // "./" first, as "tar -C src ." writes it: that root entry is skipped.
  for (const char* args : {"--format=ustar .PKGINFO usr", "--format=gnu .PKGINFO usr",
                           "--format=ustar ./.PKGINFO ./usr"}) {
    ASSERT_EQ(0, system(("cd " + src + " && tar -czf " + qpk + " " + args).c_str()));
    InstallResult r = installBytes(root_, readFile(qpk));
    ASSERT_EQ(1, r.count) << args << ": " << r.error;
    EXPECT_EQ(std::string(100000, 'q'), readFile(at("usr/lib/hard")));
    PackageFile p;
    EXPECT_TRUE(p.readFrom(qpk));
    EXPECT_EQ("gnu-1.2", p.getFullName());
  }
}

// Packages back to back, with padding between them: each is installed and kept even when a
// later one fails.
TEST_F(Install, streamOfSeveralPackagesKeepsThoseBeforeAFailure) {
  std::string a = buildQpk(pkgInfo("a"), {file("a.txt", "a")});
  std::string b = buildQpk(pkgInfo("b"), {file("b.txt", "b")});
  InstallResult r = installBytes(root_, a + std::string(700, '\0') + b + std::string(512, '\0'));
  EXPECT_EQ(2, r.count) << r.error;
  EXPECT_EQ(2u, r.installed.size());
  EXPECT_EQ("a", readFile(at("a.txt")));
  EXPECT_EQ("b", readFile(at("b.txt")));
  r = installBytes(root_, buildQpk(pkgInfo("good"), {file("good", "g")}) +
                              buildQpk(pkgInfo("bad"), {file("bad1", "b"), file("/abs", "x")}));
  EXPECT_EQ(-1, r.count);
  EXPECT_TRUE(r.installed["good"]);
  EXPECT_EQ(0u, r.installed.count("bad"));
  EXPECT_EQ("g", readFile(at("good")));
  EXPECT_EQ("<missing>", readFile(at("bad1")));
  EXPECT_EQ("<missing>", readFile(at("var/pdb/bad/files")));
  r = installBytes(root_, a + "GARBAGE");
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("package 2 of the stream: not a package")) << r.error;
}

// Every truncation and every flipped byte is refused or harmless: no temporary file stays and
// no altered content is installed. Zero bytes is an empty stream, which installs nothing.
TEST_F(Install, everyTruncationAndFlippedByteIsCaughtOrHarmless) {
  std::string content(3000, 'x');
  std::string bytes =
      buildQpk(pkgInfo("t"), {dir("d"), file("d/f", content), link(kTarSymlink, "d/s", "f")});
  for (size_t i = 0; i < bytes.size(); ++i) {
    InstallResult r = installBytes(root_, bytes.substr(0, i));
    EXPECT_EQ(i == 0 ? 0 : -1, r.count) << i;
    ASSERT_EQ(std::vector<std::string>{}, listTree(root_)) << i;
    std::string copy = bytes;
    copy[i] = static_cast<char>(copy[i] ^ 0x21);
    r = installBytes(root_, copy);
    ASSERT_FALSE(hasTempFiles(root_)) << i;
    if (r.count == 1) {
      EXPECT_EQ(content, readFile(at("d/f"))) << i;
    }
    ASSERT_TRUE(removeTree(root_));
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  }
}

}  // namespace
