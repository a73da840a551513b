// The package library: the format's pieces (.PKGINFO, ustar headers, CRC-32, dependency order),
// then installing streams into a directory: what arrives on disk and in the records, GNU tar's
// packages, streams of several, damaged bytes anywhere, and hostile packages refused.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <tuple>

#include "support/qpk_builder.h"

namespace {

using namespace qpktest;

TEST(PkgInfo, acceptsWellFormedTextAndNamesTheFault) {
  const struct {
    const char* text;
    const char* errorPart;  // nullptr when the text is well-formed
  } cases[] = {
      {"# comment\n\n  pkgname=a  \r\npkgver=1.0-2\nsize = 5\n", nullptr},
      {"pkgver = 1\n", "no pkgname"},
      {"pkgname = a\n", "no pkgver"},
      {"pkgname = ../etc\npkgver = 1\n", "not a valid package name"},
      {"pkgname = a/b\npkgver = 1\n", "not a valid package name"},
      {"pkgname = .hidden\npkgver = 1\n", "not a valid"},
      {"pkgname = a\npkgver = 1 2\n", "not a valid version"},
      {"pkgname = a\npkgname = b\npkgver = 1\n", "repeats"},
      {"pkgname = a\npkgver = 1\njunk\n", "not 'key = value'"},
      {"pkgname = a\npkgver = 1\ndepend = ../x\n", "depend"},
      {"pkgname = a\npkgver = 1\npkgdesc = x\x01y\n", "control"},
  };
  for (const auto& c : cases) {
    PackageInfo info;
    std::string error;
    EXPECT_EQ(c.errorPart == nullptr, parsePkgInfo(c.text, strlen(c.text), info, error)) << c.text;
    if (c.errorPart) {
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    }
  }
}

TEST(PkgInfo, readsEveryFieldAndStripsVersionConstraints) {
  const char text[] =
      "pkgname = net-tools\npkgver = 2.1\npkgdesc = Network tools, one line\n"
      "arch = i386\ndepend = base\ndepend = libc>=2.3\n";
  PackageInfo info, base, basement;
  std::string error;
  ASSERT_TRUE(parsePkgInfo(text, sizeof text - 1, info, error)) << error;
  EXPECT_EQ(
      std::make_tuple(std::string("net-tools-2.1"), std::string("Network tools, one line"),
                      std::string("i386"), size_t{2}, std::string("base"), std::string("libc")),
      std::make_tuple(info.getFullName(), info.description, info.arch, info.depends.size(),
                      info.depends[0].name, info.depends[1].name));
  base.name = "base";  // requires() compares whole names
  basement.name = "basement";
  EXPECT_TRUE(info.requires(base) && !info.requires(basement) && !base.requires(info));
}

// Check values from the CRC catalogue (CRC-32/ISO-HDLC "check"), in one piece and in two.
TEST(UpdateCrc, matchesTheCommonCrc32Vectors) {
  auto crc = [](std::string s) {
    unsigned char* data = reinterpret_cast<unsigned char*>(&s[0]);
    return ~update_crc(0xFFFFFFFFu, data, static_cast<unsigned int>(s.size())) & 0xFFFFFFFFu;
  };
  EXPECT_EQ(0xCBF43926u, crc("123456789"));
  EXPECT_EQ(0u, crc(""));
  EXPECT_EQ(0x414FA339u, crc("The quick brown fox jumps over the lazy dog"));
  unsigned char digits[] = "123456789";
  EXPECT_EQ(0xCBF43926u, ~update_crc(update_crc(0xFFFFFFFFu, digits, 4), digits + 4, 5));
  EXPECT_EQ(update_crc(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST(TarHeader, roundTripsEveryFieldIncludingBase256Sizes) {
  TarEntry e, d;
  e.path = std::string(120, 'd') + "/" + std::string(90, 'f');
  e.mode = 04755;
  e.uid = 3000000;  // above octal's 7 digits
  e.gid = 42;
  e.size = 10ull * 1024 * 1024 * 1024;  // above 8 GiB: base-256
  e.mtime = 1700000000;
  uint8_t block[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  ASSERT_TRUE(decodeTarHeader(block, d, error)) << error;
  EXPECT_EQ(std::make_tuple(e.path, e.mode, e.uid, e.gid, e.size, e.mtime),
            std::make_tuple(d.path, d.mode, d.uid, d.gid, d.size, d.mtime));
}

TEST(TarHeader, refusesBadChecksumsAndPathsThatDoNotFit) {
  TarEntry e, d;
  e.path = "a";
  uint8_t block[kTarBlockSize], copy[kTarBlockSize];
  ASSERT_TRUE(encodeTarHeader(e, block));
  std::string error;
  for (size_t i = 0; i < kTarBlockSize; i += 37) {
    memcpy(copy, block, sizeof copy);
    copy[i] ^= 0x40;
    EXPECT_FALSE(decodeTarHeader(copy, d, error)) << "byte " << i;
  }
  for (const std::string& path : {std::string(101, 'x'), std::string(156, 'p') + "/name"}) {
    e.path = path;
    EXPECT_FALSE(encodeTarHeader(e, block)) << path;
  }
}

TEST(SortPackages, ordersByDependenciesKeepingTheGivenOrderAndBreakingCyclesAlike) {
  using Input = std::vector<std::pair<std::string, std::vector<std::string>>>;
  auto sorted = [](const Input& input, bool reverse = false) {
    std::vector<PackageInfo> infos(input.size());
    std::list<PackageInfo*> list;
    for (size_t i = 0; i < input.size(); ++i) {
      infos[i].name = input[i].first;
      for (const std::string& d : input[i].second) infos[i].depends.push_back(PackageDep(d));
      list.push_back(&infos[i]);
    }
    Repo::getRepo()->sortPackages(list, reverse, true);
    std::string out;
    for (PackageInfo* p : list) out += (out.empty() ? "" : " ") + p->name;
    return out;
  };
  EXPECT_EQ(
      "base libc net app",
      sorted({{"app", {"net", "libc"}}, {"net", {"libc"}}, {"libc", {"base"}}, {"base", {}}}));
  EXPECT_EQ("c a x b", sorted({{"c", {}}, {"a", {}}, {"b", {"x"}}, {"x", {}}}));
  EXPECT_EQ("b a", sorted({{"b", {"zzz"}}, {"a", {"zzz"}}}));  // outside the list: ignored
  EXPECT_EQ("app libc", sorted({{"app", {"libc"}}, {"libc", {}}}, true));
  EXPECT_EQ("x a c b d",
            sorted({{"x", {}}, {"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}, {"d", {"a"}}}));
  EXPECT_EQ("a", sorted({{"a", {"a"}}}));
}

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
  ASSERT_EQ(0, system(("mkdir -p " + src + "/usr/lib").c_str()));
  ASSERT_TRUE(writeFile(src + "/.PKGINFO", pkgInfo("gnu", "1.2")) &&
              writeFile(src + "/usr/lib/data", std::string(100000, 'q')));
  ASSERT_EQ(0, system(("cd " + src + "/usr/lib && ln -s data link && ln data hard").c_str()));
  // "./" first, as "tar -C src ." writes it: that root entry is skipped.
  for (const char* args : {"--format=ustar .PKGINFO usr", "--format=gnu .PKGINFO usr",
                           "--format=ustar ./.PKGINFO ./usr"}) {
    ASSERT_EQ(0, system(("cd " + src + " && tar -czf " + qpk + " " + args).c_str()));
    InstallResult r = installBytes(root_, readFile(qpk));
    ASSERT_EQ(1, r.count) << args << ": " << r.error;
    EXPECT_EQ(std::string(100000, 'q'), readFile(at("usr/lib/hard")));
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
      {"existingSymlinkInTheRootIsNotFollowed", buildQpk(pkgInfo("p"), {file("lib/libc.so", "x")}),
       "p-1.0: 'lib/libc.so': 'lib' is a symlink", libIsLinkOut},
      {"existingSymlinkIsNotReplacedByADirectory", buildQpk(pkgInfo("p"), {dir("lib")}),
       "'lib/': exists and is not a directory", libIsLinkOut},
      {"directoryInTheWayOfAFile", buildQpk(pkgInfo("p"), {file("etc", "x")}),
       "'etc': a directory is in the way",
       [](const std::string& root) { ASSERT_EQ(0, mkdir((root + "/etc").c_str(), 0755)); }},
  };
}

class Hostile : public Install, public ::testing::WithParamInterface<HostileCase> {};

// Each is refused with a message naming package and path, nothing is written outside the root,
// and the root is left exactly as it was.
TEST_P(Hostile, isRefusedWithItsMessageAndLeavesEverythingAsItWas) {
  const HostileCase& c = GetParam();
  std::string root = root_, outside = tmp_.file("outside");
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
