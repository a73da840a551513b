// Symlink-free directory walking beneath a root descriptor.
#include "dir_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void closeChain(DirChain& chain) {
  for (int fd : chain.fds) close(fd);
  chain.fds.clear();
  chain.names.clear();
}

int openDirectory(DirChain& chain, const std::string& dirPath, std::vector<std::string>* created,
                  unsigned int newMode, std::string& error) {
  std::vector<std::string> wanted;
  for (size_t start = 0; start < dirPath.size();) {
    size_t slash = dirPath.find('/', start);
    if (slash == std::string::npos) slash = dirPath.size();
    wanted.push_back(dirPath.substr(start, slash - start));
    start = slash + 1;
  }
  size_t keep = 0;
  while (keep < wanted.size() && keep < chain.names.size() && chain.names[keep] == wanted[keep]) {
    ++keep;
  }
  while (chain.names.size() > keep) {
    close(chain.fds.back());
    chain.fds.pop_back();
    chain.names.pop_back();
  }
  for (size_t i = keep; i < wanted.size(); ++i) {
    int parent = i == 0 ? chain.rootFd : chain.fds[i - 1];
    const char* name = wanted[i].c_str();
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && created) {
      bool made = mkdirat(parent, name, newMode) == 0;
      if (made) {
        std::string madePath;
        for (size_t j = 0; j <= i; ++j) madePath += (j ? "/" : "") + wanted[j];
        created->push_back(madePath);
      }
      if (made || errno == EEXIST) {
        fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
    }
    if (fd < 0) {
      int saved = errno;
      std::string prefix;
      for (size_t j = 0; j <= i; ++j) prefix += (j ? "/" : "") + wanted[j];
      if (saved == ELOOP || saved == ENOTDIR) {
        error = "'" + prefix + "' is a symlink or not a directory; nothing is written through it";
      } else {
        error = "cannot open directory '" + prefix + "': " + strerror(saved);
      }
      return -1;
    }
    chain.names.push_back(wanted[i]);
    chain.fds.push_back(fd);
  }
  return chain.fds.empty() ? chain.rootFd : chain.fds.back();
}
