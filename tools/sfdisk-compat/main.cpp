// sfdisk of the install media: the three calls of the cylinder-era sfdisk that the installer
// makes, answered with the modern util-linux sfdisk beside it as sfdisk.real, which no longer
// takes cylinder units. This file owns the disks, the child processes and the kernel's view.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "sfdisk_compat.h"

namespace {

constexpr int kExecFailed = 127;
constexpr size_t kReadChunk = 4096;

struct Tool {
  std::string real, devices;  // the modern sfdisk; what a bare -g lists, when set
  Geometry forced;            // from the settings, when heads are set
};

bool fail(const std::string& message) {
  fprintf(stderr, "sfdisk: %s\n", message.c_str());
  return false;
}

std::string readAll(int fd) {
  std::string text;
  char chunk[kReadChunk];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR);) {
    text.append(chunk, got > 0 ? static_cast<size_t>(got) : 0);
  }
  return text;
}

std::string readFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string text = fd >= 0 ? readAll(fd) : "";
  if (fd >= 0) close(fd);
  return text;
}

// Reads or writes the first `size` bytes of `disk`.
bool transferStart(const std::string& disk, unsigned char* bytes, size_t size, bool write) {
  int fd = open(disk.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t done = write ? pwrite(fd, bytes, size, 0) : pread(fd, bytes, size, 0);
  bool whole = done == static_cast<ssize_t>(size) && (!write || fsync(fd) == 0);
  return close(fd) == 0 && whole;
}

std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string result = real ? real : "";
  free(real);
  return result;
}

bool isNode(const std::string& path, mode_t type) {
  struct stat node;
  return stat(path.c_str(), &node) == 0 && (node.st_mode & S_IFMT) == type;
}

// Runs argv[0] with `input` (when given) as its standard input and its standard output into
// `output` (when given); `quiet` drops its errors. The exit status, or -1.
int run(const std::vector<std::string>& argv, const std::string* input, std::string* output,
        bool quiet) {
  int ends[2] = {-1, -1};
  if ((input || output) && pipe2(ends, O_CLOEXEC) != 0) return -1;
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    // dup2 onto the same number would leave the pipe's close-on-exec standing.
    auto moveTo = [](int fd, int target) {
      return fd == target ? fcntl(fd, F_SETFD, 0) == 0 : dup2(fd, target) == target;
    };
    signal(SIGPIPE, SIG_DFL);
    if ((!input || moveTo(ends[0], 0)) && (!output || moveTo(ends[1], 1)) &&
        (!quiet || moveTo(open("/dev/null", O_WRONLY | O_CLOEXEC), 2))) {
      execv(words[0], words.data());
    }
    _exit(kExecFailed);
  }
  if (input || output) close(input ? ends[0] : ends[1]);
  int ours = input ? ends[1] : ends[0], status = 0;
  for (size_t done = 0; child > 0 && input && done < input->size();) {
    ssize_t wrote = write(ours, input->data() + done, input->size() - done);
    if (wrote < 0 && errno != EINTR) break;  // the tool's status tells
    done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
  }
  if (child > 0 && output) *output = readAll(ours);
  if (ours >= 0) close(ours);
  while (child > 0 && waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool loadTool(const char* self, Tool& tool) {
  const char* conf = getenv("SFDISK_COMPAT_CONF");
  std::string path = conf && *conf ? conf : "/etc/sfdisk-compat.conf", error;
  std::map<std::string, std::string> file;
  if (!parseSettings(readFile(path), file, error)) return fail(path + ": " + error);
  auto setting = [&file](const char* name) {  // the environment wins, even when empty
    return getenv(name) ? std::string(getenv(name)) : file[name];
  };
  // A settings mistake must not make this program run itself for ever.
  for (const std::string& real : {setting("SFDISK_COMPAT_REAL"), std::string("/sbin/sfdisk.real"),
                                  std::string("/usr/sbin/sfdisk.real")}) {
    std::string target = resolved(real);
    if (tool.real.empty() && !real.empty() && access(real.c_str(), X_OK) == 0 &&
        target != resolved("/proc/self/exe") && (!strchr(self, '/') || target != resolved(self))) {
      tool.real = real;
    }
  }
  if (tool.real.empty()) {
    return fail(
        "the modern sfdisk is missing (looked for $SFDISK_COMPAT_REAL, /sbin/sfdisk.real, "
        "/usr/sbin/sfdisk.real)");
  }
  tool.devices = setting("SFDISK_COMPAT_DEVICES");
  std::string geometry = setting("SFDISK_COMPAT_GEOMETRY");
  return geometry.empty() || parseForcedGeometry(geometry, tool.forced) ||
         fail("bad geometry '" + geometry + "' (HEADSxSECTORS, at most 255x63)");
}

// Whole 512-byte sectors as the kernel counts them: the size in KiB would lose an odd last one.
bool readGeometry(const Tool& tool, const std::string& disk, Geometry& geometry) {
  uint64_t bytes = 0;
  int fd = open(disk.c_str(), O_RDONLY | O_CLOEXEC);
  bool sized = fd >= 0 && ioctl(fd, BLKGETSIZE64, &bytes) == 0;
  if (fd >= 0) close(fd);
  std::string output;
  geometry = tool.forced;
  if (!sized || (!tool.forced.heads && (run({tool.real, "-g", disk}, nullptr, &output, true) != 0 ||
                                        !parseModernGeometry(output, geometry)))) {
    return false;
  }
  geometry.cylinders = cylinderCount(bytes, geometry);
  return true;
}

int listGeometry(const Tool& tool, const std::vector<std::string>& disks) {
  Geometry geometry;
  int status = 0;
  for (const std::string& disk : disks) {
    if (readGeometry(tool, disk, geometry)) {
      fputs(geometryLine(disk, geometry).c_str(), stdout);
    } else {
      fail(disk + ": cannot get geometry");
      status = 1;
    }
  }
  if (!disks.empty()) return status;
  std::string listing;
  if (tool.devices.empty()) (void)run({tool.real, "-g"}, nullptr, &listing, true);
  std::vector<std::string> lines;
  for (std::string disk : listedDisks(tool.devices, listing)) {
    if (!readGeometry(tool, disk, geometry)) continue;
    // The medium knows a disk by its /dev/hd? link when one points at it.
    std::string real = resolved(disk);
    for (char drive = 'a'; drive <= 'h' && !real.empty(); drive++) {
      if (resolved(std::string("/dev/hd") + drive) == real) {
        disk = std::string("/dev/hd") + drive;
        break;
      }
    }
    lines.push_back(geometryLine(disk, geometry));
  }
  fputs(sortedLines(lines).c_str(), stdout);
  return 0;
}

bool dumpTable(const std::string& disk) {
  unsigned char sector[kDiskSectorBytes];
  std::string text;
  if (!transferStart(disk, sector, sizeof sector, false)) {
    return fail(disk + ": cannot read the partition table");
  }
  if (formatDump(disk, sector, text)) {
    fputs(text.c_str(), stdout);
  } else {
    fail(disk + ": unrecognized partition table type");  // a blank disk: no error
  }
  return true;
}

// The size in KiB that /proc/partitions gives for `name`, or "".
std::string procBlocks(const std::string& table, const std::string& name) {
  std::vector<std::string> groups;
  bool listed = matches("(^|\n) *[0-9]+ +[0-9]+ +([0-9]+) +" + name + "(\n|$)", table, &groups);
  return listed ? groups[1] : "";
}

// Whether the kernel shows the partitions of `extents` on the disk at `real`: start and size in
// sysfs, the size in /proc/partitions, or else only device nodes, which a static /dev may hold
// for partitions that do not exist, so that there an emptied slot cannot be checked.
bool kernelKnowsTable(const std::string& real, const Extent extents[kPrimarySlots]) {
  std::string base = real.substr(real.rfind('/') + 1), proc = readFile("/proc/partitions");
  bool sysfs = isNode("/sys/class/block/" + base, S_IFDIR);
  bool procfs = !sysfs && !procBlocks(proc, base).empty();
  for (int n = 0; n < kPrimarySlots; n++) {
    std::string part = partitionName(base, n + 1), have, want = "present";
    const Extent& extent = extents[n];
    if (sysfs) {
      auto value = [&part](const char* name) {
        std::string text = readFile("/sys/class/block/" + part + "/" + name);
        return text.substr(0, text.find('\n'));
      };
      if (!value("start").empty()) have = value("start") + " " + value("size");
      want = std::to_string(extent.first) + " " + std::to_string(extent.count);
    } else if (procfs) {
      have = procBlocks(proc, part);
      want = std::to_string(extent.count / 2);
    } else if (isNode(real.substr(0, real.rfind('/') + 1) + part, S_IFBLK)) {
      have = extent.count > 0 ? "present" : "";
    }
    if (have != (extent.count > 0 ? want : "")) return false;
  }
  return true;
}

// A helper of util-linux, looked for beside the modern sfdisk first; "" when missing.
std::string findHelper(const Tool& tool, const std::string& name) {
  std::vector<std::string> dirs = {tool.real.substr(0, tool.real.rfind('/')), "/sbin", "/usr/sbin",
                                   "/bin", "/usr/bin"};
  for (const std::string& dir : dirs) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  }
  return "";
}

// Where re-reading the table made no partitions (a kernel without a partition-table parser),
// they are made by hand, as partx does.
bool tellKernel(const Tool& tool, const std::string& disk, const Extent extents[kPrimarySlots]) {
  std::string real = resolved(disk);
  if (kernelKnowsTable(real, extents)) return true;
  std::string addpart = findHelper(tool, "addpart"), delpart = findHelper(tool, "delpart");
  if (addpart.empty() || delpart.empty()) {
    return fail(std::string(addpart.empty() ? "addpart" : "delpart") +
                " is missing: the kernel does not know the new partitions");
  }
  for (int n = 1; n <= kPrimarySlots; n++) {
    (void)run({delpart, real, std::to_string(n)}, nullptr, nullptr, true);
  }
  for (int n = 1; n <= kPrimarySlots; n++) {
    const Extent& extent = extents[n - 1];
    if (extent.count > 0 && run({addpart, real, std::to_string(n), std::to_string(extent.first),
                                 std::to_string(extent.count)},
                                nullptr, nullptr, false) != 0) {
      return fail(disk + ": the kernel refused partition " + std::to_string(n));
    }
  }
  return kernelKnowsTable(real, extents) ||
         fail(disk + ": the kernel does not show the new partitions");
}

bool writeTable(const Tool& tool, const std::string& disk) {
  Geometry geometry;
  std::string script, error;
  Extent extents[kPrimarySlots];
  if (!readGeometry(tool, disk, geometry)) return fail(disk + ": cannot get geometry");
  if (!planTable(disk, readAll(0), geometry, extents, script, error)) return fail(error);
  // The modern tool also stamps a disk identifier into the boot code area; the old one wrote
  // only the table and the signature, and the installer's boot code must stay as it is.
  unsigned char bootArea[kBootAreaBytes];
  if (!transferStart(disk, bootArea, sizeof bootArea, false)) {
    return fail(disk + ": cannot read sector 0");
  }
  bool written = run({tool.real, "-q", disk}, &script, nullptr, false) == 0;
  if (!transferStart(disk, bootArea, sizeof bootArea, true) || !written) {
    return fail(disk + ": the table was not written");
  }
  return tellKernel(tool, disk, extents);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a tool that stops reading its input fails by its status
  std::vector<std::string> args(argv + 1, argv + argc), disks;
  CallMode mode;
  Tool tool;
  if (!parseCall(args, mode, disks)) {
    std::string words;
    for (const std::string& arg : args) words += (words.empty() ? "" : " ") + arg;
    fail("unsupported call '" + words +
         "': this sfdisk knows only -g [DEV...], -d -uC DEV and -q -uC DEV");
    return 1;
  }
  if (!loadTool(argv[0], tool)) return 1;
  if (mode == CallMode::listGeometry) return listGeometry(tool, disks);
  return (mode == CallMode::dumpTable ? dumpTable(disks[0]) : writeTable(tool, disks[0])) ? 0 : 1;
}
