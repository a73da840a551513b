// Running code under test as it runs on an install medium: in a forked child with its own
// mount namespace, chrooted into a staged root that holds the medium's programs at their fixed
// paths, with loop-backed disk images standing in for the hard drives. Root only.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

// A directory tree that becomes a child's "/".
class StagedRoot {
 public:
  // The add* calls fill `path` (made when missing), given as the paths inside the root.
  explicit StagedRoot(const std::string& path);

  const std::string& path() const { return path_; }
  // "/bin/busybox" (the static one), "/bin/sh" and every applet as links to it, /tmp, /proc,
  // /etc and a /dev with "null" and the host's devices under "/dev/host".
  bool addBusybox();
  // addBusybox, then the medium's sfdisk (the built `program`) at /sbin/sfdisk over the host's
  // modern one at /sbin/sfdisk.real, with addpart and delpart.
  bool addCompatSfdisk(const std::string& program);
  // Copies the host program `hostPath` to `target` in the root with the shared libraries that
  // ldd names for it.
  bool addProgram(const std::string& hostPath, const std::string& target);
  bool addFile(const std::string& target, const std::string& content, unsigned mode = 0644);
  bool addDirectory(const std::string& target, unsigned mode = 0755);
  bool addSymlink(const std::string& target, const std::string& linkTo);
  std::string hostPath(const std::string& target) const;

 private:
  std::string path_;
};

struct ChildRun {
  int status = -1;  // raw wait status; 0 when the body returned 0
  std::string out;  // what the child wrote to standard output
  std::string err;  // ... and to standard error
};

// Runs `body` in a forked child: a new private mount namespace, the host's /dev bound at
// <root>/dev/host, a proc file system at <root>/proc, then chroot into the root. The body's
// result is the child's exit code. A child still running after `timeoutSeconds` is killed.
ChildRun runInStagedRoot(const StagedRoot& root, const std::function<int()>& body,
                         int timeoutSeconds = 120);

// A sparse disk image attached to a loop device with partition scanning allowed.
class LoopDisk {
 public:
  // Creates `imagePath` of `bytes` (sparse) and attaches it; device() is empty on failure.
  LoopDisk(const std::string& imagePath, unsigned long long bytes);
  ~LoopDisk();
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  const std::string& device() const { return device_; }  // "/dev/loopN"
  std::string name() const;                              // "loopN"

 private:
  std::string image_;
  std::string device_;
};

// The output of a shell command run on the host, or "" when it could not run.
std::string hostCommandOutput(const std::string& command);
// The host's path of the program `name`, or "" when it is not installed.
std::string hostProgram(const char* name);
// Why a sandbox test cannot run here (not root, no static busybox, one of `tools` missing),
// or "" when it can.
std::string sandboxUnavailable(std::initializer_list<const char*> tools);
