// Scratch directories and file chores for tests.
#include "support/scratch_dir.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/trenavox-test.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data())) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) (void)removeTree(path_);
}

std::string ScratchDir::file(const std::string& name) const {
  return path_ + "/" + name;
}

bool writeFile(const std::string& path, const std::string& content, mode_t mode) {
  (void)unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
            fchmod(fd, mode) == 0;
  return close(fd) == 0 && ok;
}

std::string readFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  std::string content;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
  close(fd);
  return content;
}

bool writeScript(const std::string& path, const std::string& body) {
  return writeFile(path, "#!/bin/sh\n" + body, 0755);
}

bool removeTree(const std::string& path) {
  // Keeps going past what cannot go; the check below tells.
  (void)nftw(
      path.c_str(),
      [](const char* entry, const struct stat*, int, struct FTW*) {
        (void)remove(entry);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  struct stat status;
  return lstat(path.c_str(), &status) != 0;
}
