// Hostile packages: each is refused with a message naming the package and the path, nothing is
// written outside the root, and the root is left exactly as it was (no temporary or partial
// file, earlier entries of the package undone).
#include <gtest/gtest.h>

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

std::string header(const TarEntry& e) {
  uint8_t block[kTarBlockSize];
  encodeTarHeader(e, block);
  return std::string(reinterpret_cast<char*>(block), sizeof block);
}

struct HostileCase {
  const char* name;
  std::string bytes;
  const char* message;                                 // part of the reason that must appear
  void (*prepare)(const std::string& root) = nullptr;  // what an earlier package left
};

std::vector<HostileCase> hostileCases() {
  Item big = file("big", std::string(100, 'b'));
  big.entry.size = 10000;
  big.keepSize = true;
  std::string whole = evil({file("data", std::string(50000, 'd'))});
  std::string badCrc = whole, badLength = whole;
  badCrc[badCrc.size() - 8] ^= 0x55;        // the trailer's CRC-32
  badLength[badLength.size() - 1] ^= 0x01;  // the trailer's length, most significant byte
  Item pax = file("PaxHeaders/x", std::string(30, 'p'));
  pax.entry.type = 'x';
  pax.entry.size = 30;
  pax.keepSize = true;
  auto libIsLinkOut = [](const std::string& root) {
    ASSERT_EQ(0, symlink("../outside", (root + "/lib").c_str()));
  };
  return {
      {"absolutePath", evil({file("/etc/passwd", "root::0:0")}),
       "evil-1.0: '/etc/passwd': absolute path"},
      {"dotDot", evil({file("../outside/x", "x")}),
       "evil-1.0: '../outside/x': path leaves the root"},
      {"dotDotInside", evil({file("usr/../../outside/x", "x")}),
       "'usr/../../outside/x': path leaves the root"},
      {"symlinkThenWriteThrough",
       evil({link(kTarSymlink, "esc", "../outside"), file("esc/pwned", "x")}),
       "evil-1.0: 'esc/pwned': parent 'esc' is a symlink"},
      {"hardLinkOutOfRoot", evil({link(kTarHardLink, "h", "../outside/secret")}),
       "evil-1.0: 'h': hard link target '../outside/secret': path leaves the root"},
      {"hardLinkAbsolute", evil({link(kTarHardLink, "h", "/etc/shadow")}),
       "'h': hard link target '/etc/shadow': absolute path"},
      {"hardLinkToFileNotInPackage", evil({link(kTarHardLink, "h", "preexisting")}),
       "which is not an earlier regular file of this package"},
      {"hardLinkToLaterEntry", evil({link(kTarHardLink, "h", "later"), file("later", "x")}),
       "'h': hard link to 'later'"},
      {"controlCharacter", evil({file("a\nb", "x")}), "control character in path"},
      {"intoPackageRecords", evil({file("var/pdb/base/files", "")}),
       "'var/pdb/base/files': path inside the package records"},
      {"replacesPackageRecordsDir", evil({link(kTarSymlink, "var/pdb", "/tmp")}),
       "would replace the directory of the package records"},
      {"fileThenDirectory", evil({file("x", "1"), dir("x")}),
       "evil-1.0: 'x/': directory replaces an earlier entry"},
      {"sizeLargerThanStream", evil({big}, false), "'big': truncated package"},
      {"truncatedMember", whole.substr(0, whole.size() / 2),
       "truncated package: the stream ends inside a gzip member"},
      {"badGzipCrc", badCrc, "evil-1.0: corrupt package: gzip CRC-32 mismatch"},
      {"badGzipLength", badLength, "gzip length mismatch"},
      {"missingEndOfArchive", evil({}, false),
       "evil-1.0: 'first/ok': truncated package: the archive ends inside an entry"},
      {"paxHeader", buildQpk(pkgInfo("evil"), {pax}),
       "pax and GNU long-name headers are not supported"},
      {"firstEntryNotPkgInfo",
       gzipOf(header(file("usr/bin/x", "").entry) + std::string(2 * kTarBlockSize, '\0')),
       "package 1 of the stream: not a package: the first entry is not .PKGINFO"},
      {"notGzipAtAll", "PK\x03\x04 zip file", "not a package"},
      {"existingSymlinkInTheRootIsNotFollowed", buildQpk(pkgInfo("p"), {file("lib/libc.so", "x")}),
       "p-1.0: 'lib/libc.so': 'lib' is a symlink", libIsLinkOut},
      {"existingSymlinkIsNotReplacedByADirectory", buildQpk(pkgInfo("p"), {dir("lib")}),
       "'lib/': exists and is not a directory", libIsLinkOut},
      {"directoryInTheWayOfAFile", buildQpk(pkgInfo("p"), {file("etc", "x")}),
       "'etc': a directory is in the way",
       [](const std::string& root) { ASSERT_EQ(0, mkdir((root + "/etc").c_str(), 0755)); }},
  };
}

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, isRefusedWithItsMessageAndLeavesEverythingAsItWas) {
  const HostileCase& c = GetParam();
  ScratchDir tmp;
  std::string root = tmp.file("root"), outside = tmp.file("outside");
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  ASSERT_TRUE(writeFile(outside + "/secret", "secret"));
  ASSERT_TRUE(writeFile(root + "/preexisting", "mine"));
  if (c.prepare) c.prepare(root);
  std::vector<std::string> before = listTree(root);

  InstallResult r = installBytes(root, c.bytes);
  EXPECT_EQ(-1, r.count);
  EXPECT_NE(std::string::npos, r.error.find(c.message)) << "got: " << r.error;
  EXPECT_TRUE(r.installed.empty());
  EXPECT_EQ((std::vector<std::string>{"secret"}), listTree(outside));
  EXPECT_EQ("secret", readFile(outside + "/secret"));
  EXPECT_EQ(before, listTree(root));
  EXPECT_EQ("mine", readFile(root + "/preexisting"));
}

INSTANTIATE_TEST_SUITE_P(Suite, Hostile, ::testing::ValuesIn(hostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
