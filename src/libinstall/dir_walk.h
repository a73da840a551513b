// Opening directories beneath a root descriptor without ever following a symlink: every
// component is opened with O_NOFOLLOW relative to its parent. Keeps the chain of the last
// directory opened, since archive entries arrive grouped by directory.
#pragma once

#include <string>
#include <vector>

struct DirChain {
  int rootFd = -1;                 // not owned
  std::vector<std::string> names;  // components of the open chain
  std::vector<int> fds;            // fds[i] is names[0..i] opened; owned
};

// Returns a descriptor (owned by `chain`, valid until its next use) of the directory `dirPath`
// (a clean relative path; "" is the root). With `created` non-null, missing directories are made
// with `newMode` and their paths appended. -1 with a reason in `error` when a component is a
// symlink or not a directory, or on a system error.
int openDirectory(DirChain& chain, const std::string& dirPath, std::vector<std::string>* created,
                  unsigned int newMode, std::string& error);
void closeChain(DirChain& chain);

// The directory part and the last component of a clean relative path.
std::string parentOf(const std::string& path);
std::string baseOf(const std::string& path);
