// Test helpers for the package library: packages built in memory (well-formed or hostile),
// throw-away directories, and installing bytes into a root. Header-only: each test program of
// this folder includes it.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qpk_format.h"

namespace qpktest {

struct Item {
  TarEntry entry;
  std::string data;  // for regular files; entry.size is set from it unless `keepSize`
  bool keepSize = false;
};

inline TarEntry fileEntry(const std::string& path, uint32_t mode = 0644) {
  TarEntry e;
  e.path = path;
  e.type = kTarRegular;
  e.mode = mode;
  return e;
}

inline Item file(const std::string& path, const std::string& data, uint32_t mode = 0644) {
  Item item;
  item.entry = fileEntry(path, mode);
  item.data = data;
  return item;
}

inline Item dir(const std::string& path, uint32_t mode = 0755) {
  Item item;
  item.entry.path = path;
  item.entry.type = kTarDirectory;
  item.entry.mode = mode;
  return item;
}

inline Item link(char type, const std::string& path, const std::string& target) {
  Item item;
  item.entry.path = path;
  item.entry.type = type;
  item.entry.mode = 0777;
  item.entry.linkTarget = target;
  return item;
}

inline std::string pkgInfo(const std::string& name, const std::string& version = "1.0",
                           const std::vector<std::string>& depends = {}) {
  std::string text = "pkgname = " + name + "\npkgver = " + version + "\npkgdesc = test package\n";
  for (const std::string& d : depends) text += "depend = " + d + "\n";
  return text;
}

// A whole .qpk: .PKGINFO then the items, each data block padded; `endBlocks` false leaves the
// end-of-archive blocks out.
inline std::string buildQpk(const std::string& info, const std::vector<Item>& items,
                            bool endBlocks = true) {
  std::string out;
  QpkWriter* w = qpkWriterOpen(qpkWriteToString, &out, 6);
  TarEntry head = fileEntry(kPkgInfoName);
  head.size = info.size();
  qpkWriteHeader(w, head);
  qpkWriteData(w, info.data(), info.size());
  for (const Item& item : items) {
    TarEntry e = item.entry;
    if (!item.keepSize) e.size = e.type == kTarRegular ? item.data.size() : 0;
    qpkWriteHeader(w, e);
    qpkWriteData(w, item.data.data(), item.data.size());
  }
  qpkWriterClose(w, endBlocks);
  return out;
}

// gzip of raw bytes, one member (for archives put together by hand).
inline std::string gzipOf(const std::string& raw) {
  std::string out;
  QpkWriter* w = qpkWriterOpen(qpkWriteToString, &out, 6);
  qpkWriteRaw(w, raw.data(), raw.size());
  qpkWriterClose(w, false);
  return out;
}

// A directory under /tmp removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qpk-test.XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() { removeTree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  static void removeTree(const std::string& path) {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
          if (flag == FTW_DP) {
            chmod(p, 0700);
            rmdir(p);
          } else {
            unlink(p);
          }
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string path_;
};

// Every path under `root`, relative and sorted; directories end with '/'.
inline std::vector<std::string> listTree(const std::string& root) {
  static std::vector<std::string>* out;
  static size_t prefix;
  std::vector<std::string> paths;
  out = &paths;
  prefix = root.size() + 1;
  nftw(
      root.c_str(),
      [](const char* p, const struct stat* st, int, struct FTW*) {
        std::string s = p;
        if (s.size() < prefix) return 0;
        out->push_back(s.substr(prefix) + (S_ISDIR(st->st_mode) ? "/" : ""));
        return 0;
      },
      16, FTW_PHYS);
  std::sort(paths.begin(), paths.end());
  return paths;
}

// True when anything under `root` carries the staging marker.
inline bool hasTempFiles(const std::string& root) {
  for (const std::string& p : listTree(root)) {
    if (p.find(".qpk-tmp.") != std::string::npos) return true;
  }
  return false;
}

inline std::string readFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

inline bool writeFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return close(fd) == 0 && ok;
}

struct InstallResult {
  int count = 0;
  std::string error;
  std::map<std::string, bool> installed;
};

inline InstallResult installBytes(const std::string& root, const std::string& bytes,
                                  unsigned int flags = kInstallReplaceFiles) {
  InstallResult result;
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::stringbuf in(bytes, std::ios::in);
  result.count = installPackageStream(rootFd, in, flags, result.installed, result.error);
  close(rootFd);
  return result;
}

}  // namespace qpktest
