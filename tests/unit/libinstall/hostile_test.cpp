// Hostile packages: each is refused with a message naming the package and the path, nothing is
// written outside the root, and no temporary or partial file of the package stays behind.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include "qpk_test_util.h"

namespace {

using namespace qpktest;

// A harmless file first, so that every case also shows that earlier entries are undone.
std::string evil(const std::vector<Item>& items, bool endBlocks = true) {
  std::vector<Item> all = {dir("first"), file("first/ok", "staged before the bad entry")};
  all.insert(all.end(), items.begin(), items.end());
  return buildQpk(pkgInfo("evil"), all, endBlocks);
}

// A raw ustar header block for a hand-made archive.
std::string header(const TarEntry& e) {
  uint8_t block[kTarBlockSize];
  encodeTarHeader(e, block);
  return std::string(reinterpret_cast<char*>(block), sizeof block);
}

std::string padded(const std::string& data) {
  return data + std::string((kTarBlockSize - data.size() % kTarBlockSize) % kTarBlockSize, '\0');
}

std::string pkgInfoBlocks() {
  std::string info = pkgInfo("evil");
  TarEntry e = fileEntry(kPkgInfoName);
  e.size = info.size();
  return header(e) + padded(info);
}

struct HostileCase {
  const char* name;
  std::string bytes;
  const char* message;  // part of the reason that must appear
};

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases;
  cases.push_back({"absolutePath", evil({file("/etc/passwd", "root::0:0")}),
                   "evil-1.0: '/etc/passwd': absolute path"});
  cases.push_back({"dotDot", evil({file("../outside/x", "x")}),
                   "evil-1.0: '../outside/x': path leaves the root"});
  cases.push_back({"dotDotInside", evil({file("usr/../../outside/x", "x")}),
                   "evil-1.0: 'usr/../../outside/x': path leaves the root"});
  cases.push_back({"symlinkThenWriteThrough",
                   evil({link(kTarSymlink, "esc", "../outside"), file("esc/pwned", "x")}),
                   "evil-1.0: 'esc/pwned': parent 'esc' is a symlink"});
  cases.push_back({"absoluteSymlinkThenWriteThrough",
                   evil({link(kTarSymlink, "etc", "/"), file("etc/x", "x")}),
                   "'etc/x': parent 'etc' is a symlink"});
  cases.push_back({"hardLinkOutOfRoot", evil({link(kTarHardLink, "h", "../outside/secret")}),
                   "evil-1.0: 'h': hard link target '../outside/secret': path leaves the root"});
  cases.push_back({"hardLinkAbsolute", evil({link(kTarHardLink, "h", "/etc/shadow")}),
                   "'h': hard link target '/etc/shadow': absolute path"});
  cases.push_back({"hardLinkToFileNotInPackage", evil({link(kTarHardLink, "h", "preexisting")}),
                   "which is not an earlier regular file of this package"});
  cases.push_back({"hardLinkToLaterEntry",
                   evil({link(kTarHardLink, "h", "later"), file("later", "x")}),
                   "'h': hard link to 'later'"});
  cases.push_back({"hardLinkToDirectory", evil({link(kTarHardLink, "h", "first")}),
                   "not an earlier regular file"});
  cases.push_back({"controlCharacter", evil({file("a\nb", "x")}), "control character in path"});
  cases.push_back({"intoPackageRecords", evil({file("var/pdb/base/files", "")}),
                   "'var/pdb/base/files': path inside the package records"});
  cases.push_back({"replacesPackageRecordsDir", evil({link(kTarSymlink, "var/pdb", "/tmp")}),
                   "would replace the directory of the package records"});
  cases.push_back({"fileThenDirectory", evil({file("x", "1"), dir("x")}),
                   "evil-1.0: 'x/': directory replaces an earlier entry"});
  {
    Item big = file("big", std::string(100, 'b'));
    big.entry.size = 10000;  // size field larger than what follows
    big.keepSize = true;
    cases.push_back({"sizeLargerThanStream", evil({big}, false), "'big': truncated package"});
  }
  {
    std::string whole = evil({file("data", std::string(50000, 'd'))});
    cases.push_back({"truncatedMember", whole.substr(0, whole.size() / 2),
                     "truncated package: the stream ends inside a gzip member"});
    std::string crc = whole;
    crc[crc.size() - 8] ^= 0x55;  // first byte of the trailer's CRC-32
    cases.push_back({"badGzipCrc", crc, "evil-1.0: corrupt package: gzip CRC-32 mismatch"});
    std::string length = whole;
    length[length.size() - 1] ^= 0x01;  // the trailer's length, most significant byte
    cases.push_back({"badGzipLength", length, "gzip length mismatch"});
  }
  cases.push_back({"missingEndOfArchive", gzipOf(pkgInfoBlocks()),
                   "evil-1.0: truncated package: the archive ends inside an entry"});
  {
    TarEntry pax = fileEntry("PaxHeaders/x");
    pax.type = 'x';
    pax.size = 30;
    cases.push_back({"paxHeader",
                     gzipOf(pkgInfoBlocks() + header(pax) + padded(std::string(30, 'p')) +
                            std::string(1024, '\0')),
                     "pax and GNU long-name headers are not supported"});
  }
  {
    TarEntry first = fileEntry("usr/bin/x");
    cases.push_back({"firstEntryNotPkgInfo", gzipOf(header(first) + std::string(1024, '\0')),
                     "package 1 of the stream: not a package: the first entry is not .PKGINFO"});
  }
  {
    std::string blocks = pkgInfoBlocks();
    TarEntry e = fileEntry("x");
    std::string h = header(e);
    h[0] = 'y';  // checksum no longer matches
    cases.push_back({"badHeaderChecksum", gzipOf(blocks + h + std::string(1024, '\0')),
                     "evil-1.0: bad tar header checksum"});
  }
  {
    std::string info = "pkgname = ../../etc\npkgver = 1\n";
    TarEntry e = fileEntry(kPkgInfoName);
    e.size = info.size();
    cases.push_back({"hostilePackageName",
                     gzipOf(header(e) + padded(info) + std::string(1024, '\0')),
                     "not a valid package name"});
  }
  cases.push_back({"notGzipAtAll", "PK\x03\x04 zip file", "not a package"});
  return cases;
}

class Hostile : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    root_ = tmp_ / "root";
    outside_ = tmp_ / "outside";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(outside_.c_str(), 0755));
    ASSERT_TRUE(writeFile(outside_ + "/secret", "secret"));
    ASSERT_TRUE(writeFile(root_ + "/preexisting", "mine"));
  }
  TempDir tmp_;
  std::string root_, outside_;
};

TEST_P(Hostile, isRefusedWithItsMessageAndLeavesNothing) {
  const HostileCase& c = GetParam();
  InstallResult r = installBytes(root_, c.bytes);
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find(c.message)) << "got: " << r.error;
  EXPECT_TRUE(r.installed.empty());
  EXPECT_EQ((std::vector<std::string>{"secret"}), listTree(outside_));
  EXPECT_EQ("secret", readFile(outside_ + "/secret"));
  EXPECT_EQ((std::vector<std::string>{"preexisting"}), listTree(root_));
  EXPECT_EQ("mine", readFile(root_ + "/preexisting"));
}

INSTANTIATE_TEST_SUITE_P(Suite, Hostile, ::testing::ValuesIn(hostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

// A symlink already in the root (from an earlier package) is never written through either.
TEST(HostileRoot, existingSymlinkInTheRootIsNotFollowed) {
  TempDir tmp;
  std::string root = tmp / "root", outside = tmp / "outside";
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  ASSERT_EQ(0, symlink("../outside", (root + "/lib").c_str()));
  InstallResult r = installBytes(root, buildQpk(pkgInfo("p"), {file("lib/libc.so", "x")}));
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("p-1.0: 'lib/libc.so': 'lib' is a symlink")) << r.error;
  EXPECT_TRUE(listTree(outside).empty());
  // Nor replaced by a directory entry.
  r = installBytes(root, buildQpk(pkgInfo("p"), {dir("lib")}));
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("'lib/': exists and is not a directory")) << r.error;
}

// A directory in the way of a file stays, and the package fails.
TEST(HostileRoot, directoryInTheWayOfAFileFailsThePackage) {
  TempDir tmp;
  ASSERT_EQ(0, mkdir((tmp / "etc").c_str(), 0755));
  InstallResult r = installBytes(tmp.path(), buildQpk(pkgInfo("p"), {file("etc", "x")}));
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find("'etc': a directory is in the way")) << r.error;
  EXPECT_FALSE(hasTempFiles(tmp.path()));
}

}  // namespace
