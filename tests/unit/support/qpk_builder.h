// The tests' one package builder, on the package library's own writer: packages built in
// memory item by item (well-formed or hostile) or from a plain description, listing a tree and
// installing bytes into a root. Header-only.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qpk_format.h"
#include "support/scratch_dir.h"

namespace qpktest {

struct Item {
  TarEntry entry;
  std::string data;       // a regular file's content
  bool keepSize = false;  // keep entry.size as set (a lying header) instead of data.size()
};

// A regular file's data, or a link's target.
inline Item item(char type, const std::string& path, const std::string& dataOrTarget = "",
                 uint32_t mode = 0644) {
  Item it{TarEntry(), type == kTarRegular ? dataOrTarget : ""};
  it.entry.path = path;
  it.entry.type = type;
  it.entry.mode = mode;
  if (type != kTarRegular) it.entry.linkTarget = dataOrTarget;
  return it;
}
inline Item file(const std::string& path, const std::string& data, uint32_t mode = 0644) {
  return item(kTarRegular, path, data, mode);
}
inline Item dir(const std::string& path, uint32_t mode = 0755) {
  return item(kTarDirectory, path, "", mode);
}
inline Item link(char type, const std::string& path, const std::string& target) {
  return item(type, path, target, 0777);
}

inline std::string pkgInfo(const std::string& name, const std::string& version = "1.0",
                           const std::vector<std::string>& depends = {},
                           const std::string& description = "test package") {
  std::string text =
      "pkgname = " + name + "\npkgver = " + version + "\npkgdesc = " + description + "\n";
  for (const std::string& d : depends) text += "depend = " + d + "\n";
  return text;
}

// A whole .qpk: .PKGINFO, then the items; `endBlocks` false leaves the end-of-archive out.
inline std::string buildQpk(const std::string& info, const std::vector<Item>& items,
                            bool endBlocks = true) {
  std::string out;
  QpkWriter* w = qpkWriterOpen(qpkWriteToString, &out, 6);
  std::vector<Item> all = {file(kPkgInfoName, info)};
  all.insert(all.end(), items.begin(), items.end());
  for (const Item& it : all) {
    TarEntry e = it.entry;
    if (!it.keepSize) e.size = e.type == kTarRegular ? it.data.size() : 0;
    qpkWriteHeader(w, e);
    qpkWriteData(w, it.data.data(), it.data.size());
  }
  qpkWriterClose(w, endBlocks);
  return out;
}

// One gzip member of raw bytes, for archives put together by hand.
inline std::string gzipOf(const std::string& raw) {
  std::string out;
  QpkWriter* w = qpkWriterOpen(qpkWriteToString, &out, 6);
  qpkWriteRaw(w, raw.data(), raw.size());
  qpkWriterClose(w, false);
  return out;
}

// Every path under `root`, relative and sorted; directories end with '/'.
inline std::vector<std::string> listTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    paths.push_back(entry.path().lexically_relative(root).string() +
                    (entry.is_directory() && !entry.is_symlink() ? "/" : ""));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// True when anything under `root` carries the staging marker.
inline bool hasTempFiles(const std::string& root) {
  for (const std::string& path : listTree(root)) {
    if (path.find(".qpk-tmp.") != std::string::npos) return true;
  }
  return false;
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

// A package described by its metadata, directories (made in this order) and regular files.
struct TestPackage {
  std::string name;
  std::string version = "1.0";
  std::string description;
  std::vector<std::string> depends;
  std::vector<std::string> directories;
  std::vector<std::pair<std::string, std::string>> files;  // path, content
};

inline std::string buildTestPackage(const TestPackage& package) {
  std::vector<qpktest::Item> items;
  for (const std::string& directory : package.directories) items.push_back(qpktest::dir(directory));
  for (const auto& file : package.files) items.push_back(qpktest::file(file.first, file.second));
  return qpktest::buildQpk(
      qpktest::pkgInfo(package.name, package.version, package.depends, package.description), items);
}

inline bool writeBytes(const std::string& path, const std::string& bytes) {
  return writeFile(path, bytes);
}

inline bool writeTestPackage(const std::string& path, const TestPackage& package) {
  return writeBytes(path, buildTestPackage(package));
}
