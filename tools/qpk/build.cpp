// qpk build: walks a tree in sorted order and writes it as a .qpk with fixed owners and times,
// so the same tree always gives the same bytes. .PKGINFO comes first, then the tree.
#include "build.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "qpk_format.h"

namespace {

constexpr size_t kCopyBufferSize = 64 * 1024;
constexpr size_t kMaxSymlinkLength = 4096;

struct BuildState {
  const BuildOptions* options = nullptr;
  QpkWriter* writer = nullptr;
  std::map<std::pair<dev_t, ino_t>, std::string> linked;  // inode -> first path packaged
  uint8_t buffer[kCopyBufferSize];
};

void fail(const std::string& what) {
  fprintf(stderr, "qpk: %s\n", what.c_str());
}

bool readWholeFile(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char piece[4096];
  ssize_t n;
  while ((n = read(fd, piece, sizeof piece)) > 0) {
    text.append(piece, static_cast<size_t>(n));
    if (text.size() > kMaxPkgInfoSize) break;
  }
  close(fd);
  return n == 0;
}

bool addFileData(BuildState& state, const std::string& full, const std::string& rel,
                 uint64_t size) {
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    fail(rel + ": " + strerror(errno));
    return false;
  }
  uint64_t left = size;
  while (left > 0) {
    size_t want = left > sizeof state.buffer ? sizeof state.buffer : static_cast<size_t>(left);
    ssize_t n = read(fd, state.buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      fail(rel + ": changed while being packaged");
      return false;
    }
    if (!qpkWriteData(state.writer, state.buffer, static_cast<size_t>(n))) {
      close(fd);
      fail("cannot write " + state.options->outputPath);
      return false;
    }
    left -= static_cast<uint64_t>(n);
  }
  close(fd);
  return true;
}

bool addTree(BuildState& state, const std::string& dirFull, const std::string& dirRel) {
  DIR* dir = opendir(dirFull.c_str());
  if (!dir) {
    fail(dirFull + ": " + strerror(errno));
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (dirRel.empty() && strcmp(e->d_name, kPkgInfoName) == 0) continue;
    names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  const BuildOptions& options = *state.options;
  for (const std::string& name : names) {
    std::string full = dirFull + "/" + name;
    std::string rel = dirRel.empty() ? name : dirRel + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      fail(full + ": " + strerror(errno));
      return false;
    }
    TarEntry entry;
    entry.path = rel;
    entry.mode = st.st_mode & 07777;
    entry.mtime = options.mtime;
    if (options.keepOwner) {
      entry.uid = st.st_uid;
      entry.gid = st.st_gid;
    } else if (options.fixedOwner) {
      entry.uid = options.uid;
      entry.gid = options.gid;
    }
    if (S_ISDIR(st.st_mode)) {
      entry.type = kTarDirectory;
    } else if (S_ISREG(st.st_mode)) {
      entry.type = kTarRegular;
      entry.size = static_cast<uint64_t>(st.st_size);
      if (st.st_nlink > 1) {
        auto key = std::make_pair(st.st_dev, st.st_ino);
        auto found = state.linked.find(key);
        if (found != state.linked.end()) {
          entry.type = kTarHardLink;
          entry.linkTarget = found->second;
          entry.size = 0;
        } else {
          state.linked.emplace(key, rel);
        }
      }
    } else if (S_ISLNK(st.st_mode)) {
      entry.type = kTarSymlink;
      char target[kMaxSymlinkLength];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
        fail(rel + ": cannot read the symlink");
        return false;
      }
      entry.linkTarget.assign(target, static_cast<size_t>(n));
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      entry.type = S_ISCHR(st.st_mode) ? kTarCharDevice : kTarBlockDevice;
      entry.devMajor = major(st.st_rdev);
      entry.devMinor = minor(st.st_rdev);
    } else if (S_ISFIFO(st.st_mode)) {
      entry.type = kTarFifo;
    } else {
      fail(rel + ": sockets cannot be packaged");
      return false;
    }
    if (!qpkWriteHeader(state.writer, entry)) {
      fail(rel + ": the path or link target is too long for a package (ustar limits)");
      return false;
    }
    if (entry.type == kTarRegular && !addFileData(state, full, rel, entry.size)) return false;
    if (entry.type == kTarDirectory && !addTree(state, full, rel)) return false;
  }
  return true;
}

}  // namespace

bool buildPackage(const BuildOptions& options) {
  PackageInfo info;
  std::string pkgInfoPath = options.sourceDir + "/" + kPkgInfoName;
  std::string text;
  if (access(pkgInfoPath.c_str(), F_OK) == 0) {
    std::string error;
    if (!readWholeFile(pkgInfoPath, text) || text.size() > kMaxPkgInfoSize) {
      fail(pkgInfoPath + ": cannot read it (or it is too large)");
      return false;
    }
    // A partial file is fine when the options complete it.
    PackageInfo parsed;
    if (parsePkgInfo(text.data(), text.size(), parsed, error)) {
      info = parsed;
    } else if (options.name.empty() || options.version.empty()) {
      fail(pkgInfoPath + ": " + error);
      return false;
    }
  }
  if (!options.name.empty()) info.name = options.name;
  if (!options.version.empty()) info.version = options.version;
  if (options.haveDescription) info.description = options.description;
  if (!options.arch.empty()) info.arch = options.arch;
  for (const std::string& dep : options.depends) info.depends.push_back(PackageDep(dep));
  if (info.name.empty() || info.version.empty()) {
    fail(std::string("no package ") + (info.name.empty() ? "name" : "version") +
         ": give --name and --version, or a .PKGINFO in " + options.sourceDir);
    return false;
  }
  std::string pkgInfo = formatPkgInfo(info);
  PackageInfo check;
  std::string error;
  if (!parsePkgInfo(pkgInfo.data(), pkgInfo.size(), check, error)) {
    fail("package metadata: " + error);
    return false;
  }
  struct stat st;
  if (stat(options.sourceDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fail(options.sourceDir + ": not a directory");
    return false;
  }
  int fd = open(options.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fail(options.outputPath + ": " + strerror(errno));
    return false;
  }
  BuildState* state = new BuildState();
  state->options = &options;
  state->writer = qpkWriterOpen(qpkWriteToFd, &fd, options.level);
  bool ok = state->writer != nullptr;
  if (ok) {
    TarEntry entry;
    entry.path = kPkgInfoName;
    entry.size = pkgInfo.size();
    entry.mtime = options.mtime;
    if (options.fixedOwner) {
      entry.uid = options.uid;
      entry.gid = options.gid;
    }
    ok = qpkWriteHeader(state->writer, entry) &&
         qpkWriteData(state->writer, pkgInfo.data(), pkgInfo.size());
    if (!ok) fail("cannot write " + options.outputPath);
  }
  if (ok) ok = addTree(*state, options.sourceDir, "");
  if (state->writer) {
    if (ok) {
      ok = qpkWriterClose(state->writer);
      if (!ok) fail("cannot write " + options.outputPath);
    } else {
      qpkWriterDiscard(state->writer);
    }
  }
  delete state;
  if (close(fd) != 0 && ok) {
    fail(options.outputPath + ": " + strerror(errno));
    ok = false;
  }
  if (!ok) (void)unlink(options.outputPath.c_str());
  return ok;
}
