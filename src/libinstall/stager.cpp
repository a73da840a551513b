// Installs a package stream into a root directory. Every file of a package is staged under a
// temporary name beside its final path and renamed into place only after the package's gzip
// trailer has been verified; a package that fails leaves neither temporary nor partial files.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <unordered_map>
#include <unordered_set>

#include "dir_walk.h"
#include "qpk_format.h"

namespace {

constexpr const char* kTempMarker = ".qpk-tmp.";
constexpr size_t kTempSuffixLength = 6;
constexpr size_t kMaxNameLength = 255;
constexpr int kTempAttempts = 100;
constexpr unsigned int kImplicitDirMode = 0755;
constexpr unsigned int kStagingDirMode = 0700;  // until the package's own mode is applied

struct Staged {
  std::string path;
  std::string temp;  // name in the parent directory; empty for directories and once renamed
  char type = kTarRegular;
  uint32_t mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t mtime = 0;
};

std::string systemError(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

struct timespec toTimespec(int64_t seconds) {
  struct timespec t;
  if (sizeof(time_t) < 8) {
    if (seconds > 0x7fffffffll) seconds = 0x7fffffffll;
    if (seconds < -0x7fffffffll) seconds = -0x7fffffffll;
  }
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = 0;
  return t;
}

// A name for staging `base` that stays within NAME_MAX.
std::string tempNameFor(const std::string& base, uint32_t salt) {
  static uint32_t counter = 0;
  static const uint32_t pidSeed = static_cast<uint32_t>(getpid()) * 2654435761u;
  uint32_t v = pidSeed ^ (++counter * 40503u) ^ salt;
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix;
  for (size_t i = 0; i < kTempSuffixLength; ++i) {
    suffix += kDigits[v % 36];
    v = v / 36 + (v << 26);
  }
  size_t room = kMaxNameLength - 1 - strlen(kTempMarker) - kTempSuffixLength;
  return "." + base.substr(0, room) + kTempMarker + suffix;
}

bool writeAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

class InstallSink : public PackageSink {
 public:
  InstallSink(int rootFd, unsigned int flags, std::map<std::string, bool>& installed)
      : flags_(flags), installed_(installed), mayChown_(geteuid() == 0) {
    chain_.rootFd = rootFd;
    linkChain_.rootFd = rootFd;
  }
  ~InstallSink() override {
    closeFile();
    closeChain(chain_);
    closeChain(linkChain_);
  }

  bool beginPackage(const PackageInfo& info, const std::string& pkgInfoText) override {
    info_ = info;
    pkgInfoText_ = pkgInfoText;
    staged_.clear();
    index_.clear();
    createdDirs_.clear();
    createdSet_.clear();
    createdSynced_ = 0;
    return true;
  }

  bool beginEntry(const TarEntry& entry) override;
  bool entryData(const uint8_t* data, size_t length) override {
    if (writeAll(fileFd_, data, length)) return true;
    message = systemError("write failed");
    return false;
  }
  bool endEntry() override;
  bool commitPackage() override;
  void abortPackage() override;

 private:
  bool stageNonDirectory(const TarEntry& entry, int parentFd, const std::string& base,
                         std::string& temp);
  // Writes the package's record under var/pdb as staged files, renamed with the package's own.
  bool stageRecord();
  void closeFile() {
    if (fileFd_ >= 0) close(fileFd_);
    fileFd_ = -1;
  }

  unsigned int flags_;
  std::map<std::string, bool>& installed_;
  bool mayChown_;
  DirChain chain_;      // for the entry being staged, and for commit and clean-up
  DirChain linkChain_;  // for the target of a hard link
  PackageInfo info_;
  std::string pkgInfoText_;
  std::vector<Staged> staged_;
  std::unordered_map<std::string, size_t> index_;  // path -> staged_ slot
  std::vector<std::string> createdDirs_;           // in creation order
  std::unordered_set<std::string> createdSet_;     // the same, for lookups
  size_t createdSynced_ = 0;                       // createdDirs_ entries in createdSet_
  int fileFd_ = -1;                                // the regular file being written
  Staged* current_ = nullptr;
};

bool InstallSink::stageNonDirectory(const TarEntry& entry, int parentFd, const std::string& base,
                                    std::string& temp) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    temp = tempNameFor(base, static_cast<uint32_t>(attempt));
    const char* name = temp.c_str();
    int rc = -1;
    switch (entry.type) {
      case kTarRegular:
        fileFd_ =
            openat(parentFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        rc = fileFd_ >= 0 ? 0 : -1;
        break;
      case kTarSymlink:
        rc = symlinkat(entry.linkTarget.c_str(), parentFd, name);
        break;
      case kTarHardLink: {
        auto found = index_.find(entry.linkTarget);
        if (found == index_.end() || staged_[found->second].temp.empty()) {
          message = "hard link target '" + entry.linkTarget + "' was not staged";
          return false;
        }
        const Staged& target = staged_[found->second];
        int targetDir = openDirectory(linkChain_, parentOf(target.path), nullptr, 0, message);
        if (targetDir < 0) return false;
        rc = linkat(targetDir, target.temp.c_str(), parentFd, name, 0);
        break;
      }
      case kTarCharDevice:
      case kTarBlockDevice:
      case kTarFifo: {
        mode_t kind = entry.type == kTarFifo         ? S_IFIFO
                      : entry.type == kTarCharDevice ? S_IFCHR
                                                     : S_IFBLK;
        rc = mknodat(parentFd, name, kind | 0600, makedev(entry.devMajor, entry.devMinor));
        break;
      }
      default:
        message = "unsupported entry type";
        return false;
    }
    if (rc == 0) return true;
    if (errno != EEXIST) break;
  }
  message = systemError("cannot create");
  temp.clear();
  return false;
}

bool InstallSink::beginEntry(const TarEntry& entry) {
  current_ = nullptr;
  std::string base = baseOf(entry.path);
  int parentFd =
      openDirectory(chain_, parentOf(entry.path), &createdDirs_, kImplicitDirMode, message);
  if (parentFd < 0) return false;
  auto earlier = index_.find(entry.path);
  struct stat st;
  // A directory this package has just made holds nothing but what the package staged, so the
  // final path cannot exist yet (this saves a system call per file on a fresh root).
  for (; createdSynced_ < createdDirs_.size(); ++createdSynced_) {
    createdSet_.insert(createdDirs_[createdSynced_]);
  }
  bool freshParent = createdSet_.count(parentOf(entry.path)) > 0;
  errno = ENOENT;
  bool exists = !freshParent && fstatat(parentFd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    message = systemError("cannot examine");
    return false;
  }
  Staged item;
  item.path = entry.path;
  item.type = entry.type;
  item.mode = entry.mode;
  item.uid = entry.uid;
  item.gid = entry.gid;
  item.mtime = entry.mtime;
  if (entry.type == kTarDirectory) {
    if (exists && !S_ISDIR(st.st_mode)) {
      message = "exists and is not a directory (a symlink is never followed)";
      return false;
    }
    if (!exists) {
      if (mkdirat(parentFd, base.c_str(), kStagingDirMode) != 0) {
        message = systemError("cannot create directory");
        return false;
      }
      createdDirs_.push_back(entry.path);
    }
    if (earlier == index_.end()) {
      index_.emplace(entry.path, staged_.size());
      staged_.push_back(item);
    } else {
      staged_[earlier->second] = item;
    }
    return true;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    message = "a directory is in the way";
    return false;
  }
  if (exists && !(flags_ & kInstallReplaceFiles)) {
    message = "file exists and replacing is off";
    return false;
  }
  if (!stageNonDirectory(entry, parentFd, base, item.temp)) return false;
  if (earlier != index_.end()) {
    // A later entry for the same path wins, as with tar; its earlier stage goes.
    Staged& old = staged_[earlier->second];
    if (!old.temp.empty()) (void)unlinkat(parentFd, old.temp.c_str(), 0);
    old = item;
    current_ = &old;
  } else {
    index_.emplace(entry.path, staged_.size());
    staged_.push_back(item);
    current_ = &staged_.back();
  }
  if (entry.type == kTarRegular) return true;
  // Attributes of everything but files (set at endEntry) and hard links (shared inode).
  const char* temp = current_->temp.c_str();
  if (entry.type != kTarHardLink) {
    if (mayChown_ && fchownat(parentFd, temp, entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW) != 0) {
      message = systemError("cannot set owner");
      return false;
    }
    if (entry.type != kTarSymlink && fchmodat(parentFd, temp, entry.mode, 0) != 0) {
      message = systemError("cannot set mode");
      return false;
    }
    struct timespec times[2] = {toTimespec(entry.mtime), toTimespec(entry.mtime)};
    if (utimensat(parentFd, temp, times, AT_SYMLINK_NOFOLLOW) != 0) {
      message = systemError("cannot set time");
      return false;
    }
  }
  return true;
}

bool InstallSink::endEntry() {
  if (fileFd_ < 0 || !current_) return true;
  int fd = fileFd_;
  fileFd_ = -1;
  bool ok = true;
  // Owner before mode: chown clears set-id bits.
  if (mayChown_ && fchown(fd, current_->uid, current_->gid) != 0) {
    message = systemError("cannot set owner");
    ok = false;
  } else if (fchmod(fd, current_->mode) != 0) {
    message = systemError("cannot set mode");
    ok = false;
  } else {
    struct timespec times[2] = {toTimespec(current_->mtime), toTimespec(current_->mtime)};
    if (futimens(fd, times) != 0) {
      message = systemError("cannot set time");
      ok = false;
    }
  }
  if (close(fd) != 0 && ok) {
    message = systemError("write failed");
    ok = false;
  }
  return ok;
}

bool InstallSink::commitPackage() {
  closeFile();
  if (!stageRecord()) return false;
  for (Staged& item : staged_) {
    if (item.temp.empty()) continue;
    int parentFd = openDirectory(chain_, parentOf(item.path), nullptr, 0, message);
    if (parentFd < 0) {
      message = "'" + item.path + "': " + message;
      return false;
    }
    if (renameat(parentFd, item.temp.c_str(), parentFd, baseOf(item.path).c_str()) != 0) {
      message = "'" + item.path + "': " + systemError("cannot rename into place");
      return false;
    }
    item.temp.clear();
  }
  // Directory attributes last, deepest first, so that no later change touches them.
  for (size_t i = staged_.size(); i-- > 0;) {
    const Staged& item = staged_[i];
    if (item.type != kTarDirectory) continue;
    int fd = openDirectory(chain_, item.path, nullptr, 0, message);
    if (fd < 0) {
      message = "'" + item.path + "': " + message;
      return false;
    }
    struct timespec times[2] = {toTimespec(item.mtime), toTimespec(item.mtime)};
    if ((mayChown_ && fchown(fd, item.uid, item.gid) != 0) || fchmod(fd, item.mode) != 0 ||
        futimens(fd, times) != 0) {
      message = "'" + item.path + "': " + systemError("cannot set attributes");
      return false;
    }
  }
  closeChain(chain_);
  installed_[info_.name] = true;
  createdDirs_.clear();
  createdSet_.clear();
  createdSynced_ = 0;
  return true;
}

void InstallSink::abortPackage() {
  closeFile();
  for (const Staged& item : staged_) {
    if (item.temp.empty()) continue;
    std::string ignored;
    int parentFd = openDirectory(chain_, parentOf(item.path), nullptr, 0, ignored);
    if (parentFd >= 0) (void)unlinkat(parentFd, item.temp.c_str(), 0);
  }
  // Directories made for this package go too, when nothing else has arrived in them.
  for (size_t i = createdDirs_.size(); i-- > 0;) {
    std::string ignored;
    int parentFd = openDirectory(chain_, parentOf(createdDirs_[i]), nullptr, 0, ignored);
    if (parentFd >= 0) (void)unlinkat(parentFd, baseOf(createdDirs_[i]).c_str(), AT_REMOVEDIR);
  }
  closeChain(chain_);
  closeChain(linkChain_);
  staged_.clear();
  index_.clear();
  createdDirs_.clear();
  createdSet_.clear();
  createdSynced_ = 0;
}

// Writes `text` to a new temporary file in dirFd; its name goes to `temp`.
bool writeTempFile(int dirFd, const char* name, const std::string& text, std::string& temp,
                   std::string& error) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    temp = tempNameFor(name, static_cast<uint32_t>(attempt));
    int fd =
        openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) break;
    bool ok = writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ok = close(fd) == 0 && ok;
    if (ok) return true;
    int saved = errno;
    (void)unlinkat(dirFd, temp.c_str(), 0);
    errno = saved;
    break;
  }
  temp.clear();
  error = std::string("cannot write the package record ") + name + ": " + strerror(errno);
  return false;
}

bool InstallSink::stageRecord() {
  std::string dir = std::string(kPackageDbDir) + "/" + info_.name;
  int fd = openDirectory(chain_, dir, &createdDirs_, kImplicitDirMode, message);
  if (fd < 0) {
    message = "package record: " + message;
    return false;
  }
  // One path per line; directories end with '/'.
  std::string files;
  for (const Staged& item : staged_) {
    files += item.path;
    if (item.type == kTarDirectory) files += '/';
    files += '\n';
  }
  const std::pair<const char*, const std::string*> records[] = {{"PKGINFO", &pkgInfoText_},
                                                                {"files", &files}};
  for (const auto& record : records) {
    Staged item;
    item.path = dir + "/" + record.first;
    if (!writeTempFile(fd, record.first, *record.second, item.temp, message)) return false;
    staged_.push_back(item);
  }
  return true;
}

}  // namespace

bool preparePackageDb(int rootFd, bool readOnly) {
  DirChain chain;
  chain.rootFd = rootFd;
  std::vector<std::string> made;
  std::string error;
  bool ok =
      openDirectory(chain, kPackageDbDir, readOnly ? nullptr : &made, kImplicitDirMode, error) >= 0;
  closeChain(chain);
  return ok;
}

int installPackageStream(int rootFd, std::streambuf& in, unsigned int flags,
                         std::map<std::string, bool>& installed, std::string& error) {
  InstallSink sink(rootFd, flags, installed);
  return readPackageStream(in, sink, error);
}
