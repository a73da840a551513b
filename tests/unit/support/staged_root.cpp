// Staged roots, namespaced chroot children and loop disks for sandbox tests.
#include "support/staged_root.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "base/platform.h"
#include "support/scratch_dir.h"

namespace {

// Mount flags, spelled out because mount calls go through the platform seam only.
constexpr unsigned long kMountBind = 4096;        // MS_BIND
constexpr unsigned long kMountRecursive = 16384;  // MS_REC
constexpr unsigned long kMountPrivate = 1 << 18;  // MS_PRIVATE
constexpr int kPollMs = 20;

bool makeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool copyFile(const std::string& from, const std::string& to) {
  std::string content = readFile(from);
  if (content == "<missing>") return false;
  struct stat status;
  if (stat(from.c_str(), &status) != 0) return false;
  return makeParents(to) && writeFile(to, content, status.st_mode & 07777);
}

}  // namespace

std::string hostCommandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

StagedRoot::StagedRoot(const std::string& path) : path_(path) {}

std::string StagedRoot::hostPath(const std::string& target) const {
  return path_ + target;
}

bool StagedRoot::addDirectory(const std::string& target, unsigned mode) {
  std::string host = hostPath(target);
  if (!makeParents(host)) return false;
  if (mkdir(host.c_str(), mode) != 0 && errno != EEXIST) return false;
  return chmod(host.c_str(), mode) == 0;
}

bool StagedRoot::addFile(const std::string& target, const std::string& content, unsigned mode) {
  std::string host = hostPath(target);
  return makeParents(host) && writeFile(host, content, mode);
}

bool StagedRoot::addSymlink(const std::string& target, const std::string& linkTo) {
  std::string host = hostPath(target);
  (void)unlink(host.c_str());
  return makeParents(host) && symlink(linkTo.c_str(), host.c_str()) == 0;
}

std::string hostProgram(const char* name) {
  std::string path = hostCommandOutput(std::string("command -v ") + name);
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

std::string sandboxUnavailable(std::initializer_list<const char*> tools) {
  if (geteuid() != 0) return "needs root: mount namespaces, chroot, loop devices";
  if (access("/bin/busybox", X_OK) != 0) return "busybox-static is not installed";
  for (const char* tool : tools) {
    if (hostProgram(tool).empty()) return std::string(tool) + " is not installed";
  }
  return "";
}

// Shell lines below get only paths we made ourselves: no quoting beyond '...' is needed.
bool StagedRoot::addProgram(const std::string& hostProgram, const std::string& target) {
  // Each library ldd names (the first absolute path on its line) goes to the same path in
  // the root, links resolved; one already there stays.
  return copyFile(hostProgram, hostPath(target)) &&
         system(("for l in $(ldd '" + hostProgram +
                 "' | grep -o '^[^/]*/[^ ]*' | grep -o '/.*'); " + "do [ -e '" + path_ +
                 "'$l ] || cp -L --parents $l '" + path_ + "' || exit 1; done")
                    .c_str()) == 0;
}

bool StagedRoot::addBusybox() {
  return copyFile("/bin/busybox", hostPath("/bin/busybox")) &&
         system(("for a in $(/bin/busybox --list); do [ -e '" + path_ + "/bin/'$a ] || ln -s " +
                 "busybox '" + path_ + "/bin/'$a || exit 1; done")
                    .c_str()) == 0 &&
         addDirectory("/tmp", 01777) && addDirectory("/proc") && addDirectory("/etc") &&
         addDirectory("/dev") && addDirectory("/dev/host") && addSymlink("/dev/null", "host/null");
}

bool StagedRoot::addCompatSfdisk(const std::string& program) {
  return addBusybox() && addProgram(hostProgram("sfdisk"), "/sbin/sfdisk.real") &&
         addProgram(program, "/sbin/sfdisk") &&
         addProgram(hostProgram("addpart"), "/sbin/addpart") &&
         addProgram(hostProgram("delpart"), "/sbin/delpart");
}

ChildRun runInStagedRoot(const StagedRoot& root, const std::function<int()>& body,
                         int timeoutSeconds) {
  ChildRun run;
  ScratchDir capture;
  std::string outPath = capture.file("out");
  std::string errPath = capture.file("err");
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return run;
  if (child == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) != 1 || dup2(err, 2) != 2) _exit(120);
    close(out);
    close(err);
    setPlatform(nullptr);
    Platform& p = platform();
    if (unshare(CLONE_NEWNS) != 0 ||
        p.mount("none", "/", nullptr, kMountRecursive | kMountPrivate, nullptr) != 0 ||
        p.mount("/dev", root.hostPath("/dev/host").c_str(), nullptr, kMountBind | kMountRecursive,
                nullptr) != 0 ||
        p.mount("proc", root.hostPath("/proc").c_str(), "proc", 0, nullptr) != 0 ||
        chroot(root.path().c_str()) != 0 || chdir("/") != 0) {
      _exit(121);
    }
    int result = body();
    fflush(nullptr);
    _exit(result);
  }

  struct timespec pause = {0, kPollMs * 1000000L};
  int status = 0;
  pid_t done;
  for (long waitedMs = 0; (done = waitpid(child, &status, WNOHANG)) != child; waitedMs += kPollMs) {
    if (done < 0 && errno != EINTR) return run;
    if (waitedMs >= timeoutSeconds * 1000L) kill(child, SIGKILL);  // reaped on a later round
    nanosleep(&pause, nullptr);
  }
  run.status = status;
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  return run;
}

LoopDisk::LoopDisk(const std::string& imagePath, unsigned long long bytes) : image_(imagePath) {
  int fd = open(imagePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  bool sized = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  close(fd);
  if (!sized) return;
  std::string device = hostCommandOutput("losetup -P -f --show '" + imagePath + "' 2>/dev/null");
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  if (device.rfind("/dev/loop", 0) == 0) device_ = device;
}

LoopDisk::~LoopDisk() {
  if (!device_.empty()) (void)hostCommandOutput("losetup -d " + device_ + " 2>/dev/null");
  (void)unlink(image_.c_str());
}

std::string LoopDisk::name() const {
  size_t slash = device_.rfind('/');
  return slash == std::string::npos ? device_ : device_.substr(slash + 1);
}
