// A private scratch directory for one test, removed with everything in it afterwards, and the
// small file chores tests do in it: write a file or an executable stand-in, read a file back.
#pragma once

#include <sys/types.h>

#include <string>

class ScratchDir {
 public:
  // Makes a fresh directory under $TMPDIR (or /tmp); path() is empty when that failed.
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Writes `content` to `path` (replacing it) with `mode`; false on any failure.
bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
// The whole content of `path`, or "<missing>" when it cannot be read.
std::string readFile(const std::string& path);
// Writes an executable "#!/bin/sh" script with `body` to `path`.
bool writeScript(const std::string& path, const std::string& body);
// Removes `path` and everything below it; false when something stayed.
bool removeTree(const std::string& path);
