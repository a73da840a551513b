// Whole disk preparation on loop-backed disk images, run as on the medium: in a child with its
// own mount namespace, chrooted into a staged root with busybox, the medium's sfdisk (over the
// modern one), the real mke2fs and "/dev/hda" pointing at the loop device. Needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/signals.h"
#include "disk/boot_files.h"
#include "disk/drives.h"
#include "disk/target.h"
#include "platform/platform.h"
#include "support/console_text.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr unsigned long long kMiB = 1024 * 1024;
constexpr unsigned long long kOldIdeCylinder = 16 * 63 * 512;
constexpr const char* kCompatSfdisk = TRENAVOX_SOURCE_DIR "/tools/sfdisk-compat/sfdisk";

std::string hostProgram(const char* name) {
  std::string path = hostCommandOutput(std::string("command -v ") + name);
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// In the child: the lines of /proc/mounts that mount something at or below "/mnt", as
// "source target type".
std::string targetMounts() {
  std::string mounts;
  FILE* table = fopen("/proc/mounts", "r");
  if (!table) return "<no /proc/mounts>";
  char source[256], target[256], type[64];
  while (fscanf(table, "%255s %255s %63s %*[^\n]", source, target, type) == 3) {
    if (strncmp(target, "/mnt", 4) == 0) {
      mounts += std::string(source) + " " + target + " " + type + "\n";
    }
  }
  fclose(table);
  return mounts;
}

std::string modeLine(const char* path) {
  struct stat status;
  if (lstat(path, &status) != 0) return std::string(path) + " missing\n";
  char line[300];
  snprintf(line, sizeof line, "%s %s %o\n", path, S_ISDIR(status.st_mode) ? "dir" : "other",
           static_cast<unsigned>(status.st_mode & 07777));
  return line;
}

// Copies what a test looks at from the new root to /results, which outlives the namespace.
void saveTargetFiles() {
  (void)writeFile("/results/mounts", targetMounts());
  (void)writeFile("/results/lilo.conf", readFile("/mnt/etc/lilo.conf"));
  (void)writeFile("/results/fstab", readFile("/mnt/etc/fstab"));
  (void)writeFile("/results/nofsck", readFile("/mnt/.nofsck"));
  std::string modes;
  for (const char* path : {"/mnt/proc", "/mnt/vela", "/mnt/vela/etc", "/mnt/var", "/mnt/var/pdb"}) {
    modes += modeLine(path);
  }
  (void)writeFile("/results/modes", modes);
}

// The content of `path`, read without moving its access time.
std::string readUntouched(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0) return "<unreadable>";
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    content.append(buffer, static_cast<size_t>(got));
  close(fd);
  return content;
}

// The tree below `path` as lines "path type mode uid gid size [mtime atime] [content]", with
// the times of regular files only (a restored directory gets new ones from its members).
std::string describeTree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return path + " missing\n";
  char line[512];
  const char* type = S_ISDIR(status.st_mode) ? "dir" : S_ISREG(status.st_mode) ? "file" : "other";
  snprintf(line, sizeof line, "%s %s %o %u %u %lld", path.c_str(), type,
           static_cast<unsigned>(status.st_mode & 07777), static_cast<unsigned>(status.st_uid),
           static_cast<unsigned>(status.st_gid), static_cast<long long>(status.st_size));
  std::string text = line;
  if (S_ISREG(status.st_mode)) {
    snprintf(line, sizeof line, " %lld.%09ld %lld.%09ld",
             static_cast<long long>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec,
             static_cast<long long>(status.st_atim.tv_sec), status.st_atim.tv_nsec);
    text += line;
    std::string content = readUntouched(path);
    unsigned long long sum = 1469598103934665603ULL;  // FNV-1a over the content
    for (unsigned char c : content) sum = (sum ^ c) * 1099511628211ULL;
    snprintf(line, sizeof line, " %016llx", sum);
    text += line;
  }
  text += "\n";
  if (S_ISDIR(status.st_mode)) {
    std::string names = hostCommandOutput("ls -a '" + path + "'");
    size_t start = 0;
    while (start < names.size()) {
      size_t end = names.find('\n', start);
      std::string name = names.substr(start, end - start);
      start = end == std::string::npos ? names.size() : end + 1;
      if (name.empty() || name == "." || name == "..") continue;
      text += describeTree(path + "/" + name);
    }
  }
  return text;
}

void setTimes(const char* path, time_t atime, time_t mtime) {
  struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
  (void)utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

// Builds the old configuration: nested directories, a 40,000-byte file, an empty file, a
// symbolic link, odd modes, owners and times. Access times stay recent and after the
// modification times, so reading the files does not move them.
bool buildOldConfiguration() {
  time_t now = time(nullptr);
  std::string big;
  for (int i = 0; i < 40000; i++) big += static_cast<char>((i * 7 + i / 251) & 0xff);
  bool ok = mkdir("/mnt/vela/store", 0750) == 0 && mkdir("/mnt/vela/store/net", 0711) == 0 &&
            mkdir("/mnt/vela/store/net/if", 0700) == 0 &&
            mkdir("/mnt/vela/store/empty", 02775) == 0 &&
            writeFile("/mnt/vela/store/net/if/eth0", big, 0640) &&
            writeFile("/mnt/vela/store/net/empty.conf", "", 0400) &&
            writeFile("/mnt/vela/store/hosts", "127.0.0.1 router\n", 04755) &&
            symlink("net/if/eth0", "/mnt/vela/store/current") == 0;
  if (!ok) return false;
  ok = chown("/mnt/vela/store/net/if/eth0", 1234, 5678) == 0 &&
       chown("/mnt/vela/store/net/empty.conf", 42, 43) == 0 &&
       chown("/mnt/vela/store/net", 7, 8) == 0 &&
       chmod("/mnt/vela/store/hosts", 04755) == 0;  // chown clears set-user-id
  setTimes("/mnt/vela/store/net/if/eth0", now - 60, 946684800);
  setTimes("/mnt/vela/store/net/empty.conf", now - 30, 1000000000);
  setTimes("/mnt/vela/store/hosts", now - 10, now - 20);
  return ok;
}

constexpr const char* kLogEndMark = "--end of log--\n";

// Makes the log terminal a FIFO whose reader copies everything to /results/log until it reads
// the end mark. Returns the reader.
pid_t startLogRecorder() {
  (void)unlink("/logterm");
  if (mkfifo("/logterm", 0666) != 0) return -1;
  pid_t reader = fork();
  if (reader == 0) {
    int in = open("/logterm", O_RDWR);  // never sees end of file between the tools
    int out = open("/results/log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string seen;
    char buffer[4096];
    ssize_t got;
    while (seen.find(kLogEndMark) == std::string::npos &&
           (got = read(in, buffer, sizeof buffer)) > 0) {
      seen.append(buffer, static_cast<size_t>(got));
      if (write(out, buffer, static_cast<size_t>(got)) != got) break;
    }
    _exit(0);
  }
  strcpy(logTerminalPath, "/logterm");
  return reader;
}

void stopLogRecorder(pid_t reader) {
  int fd = open("/logterm", O_WRONLY);
  if (fd >= 0) {
    (void)write(fd, kLogEndMark, strlen(kLogEndMark));
    close(fd);
  }
  int status;
  (void)waitForChild(reader, &status);
  strcpy(logTerminalPath, "/dev/null");
}

// Installs the new system's post-install script and checker (staged under /newsystem) into the
// new root, runs post-install with the log recorded, then mounts the root again to look.
int runPostInstall(InstallContext& context) {
  if (system("cp -a /newsystem/. /mnt/") != 0) return 10;
  pid_t reader = startLogRecorder();
  if (reader < 0) return 11;
  int unmounted = postInstall(context);
  stopLogRecorder(reader);
  (void)writeFile("/results/mounts-after", targetMounts());
  if (platform().mount(context.targetDrive.twoPartitions ? "/dev/hda2" : "/dev/hda1", "/mnt",
                       "ext3", 0, nullptr) != 0) {
    return 12;
  }
  (void)writeFile("/results/postinstall.out", readFile("/mnt/postinstall.out"));
  (void)writeFile("/results/fsck-probe", readFile("/mnt/fsck-probe"));
  (void)platform().umount("/mnt");
  return unmounted == 0 ? 0 : 13;
}

// The lines the stand-in programs print themselves, without the shell's complaints (bash
// notices that its working directory lies outside the confining root; the probe's failure).
std::string toolLines(const std::string& log) {
  std::string lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    end = end == std::string::npos ? log.size() : end + 1;
    std::string line = log.substr(start, end - start);
    start = end;
    if (line.rfind("shell-init:", 0) == 0 || line.rfind("/sbin/fsck:", 0) == 0) continue;
    if (line == kLogEndMark) continue;
    lines += line;
  }
  return lines;
}

class PreparedDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mount namespaces, chroot, loop devices";
    for (const char* tool : {"losetup", "mke2fs", "sfdisk", "addpart", "delpart", "debugfs"}) {
      if (hostProgram(tool).empty()) GTEST_SKIP() << tool << " is not installed";
    }
    if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "busybox-static is not installed";
    ASSERT_FALSE(scratch.path().empty());
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addBusybox());
    ASSERT_TRUE(stage->addProgram(hostProgram("sfdisk"), "/sbin/sfdisk.real"));
    ASSERT_TRUE(stage->addFile("/sbin/sfdisk", readFile(kCompatSfdisk), 0755));
    ASSERT_TRUE(stage->addProgram(hostProgram("addpart"), "/sbin/addpart"));
    ASSERT_TRUE(stage->addProgram(hostProgram("delpart"), "/sbin/delpart"));
    ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs"));
    ASSERT_TRUE(stage->addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")));
    ASSERT_TRUE(stage->addDirectory("/mnt"));
    ASSERT_TRUE(stage->addDirectory("/results", 0777));
  }

  // Attaches a fresh disk of `bytes` as the medium's "/dev/hda"; `geometry` is the compat
  // sfdisk's override ("16x63") or empty.
  void attachDisk(unsigned long long bytes, const std::string& geometry) {
    disk = std::make_unique<LoopDisk>(scratch.file("disk.img"), bytes);
    ASSERT_FALSE(disk->device().empty()) << "no loop device could be attached";
    std::string name = disk->name();
    ASSERT_TRUE(stage->addSymlink("/dev/hda", "host/" + name));
    ASSERT_TRUE(stage->addSymlink("/dev/hda1", "host/" + name + "p1"));
    ASSERT_TRUE(stage->addSymlink("/dev/hda2", "host/" + name + "p2"));
    std::string conf = "SFDISK_COMPAT_DEVICES=/dev/hda\n";
    if (!geometry.empty()) conf += "SFDISK_COMPAT_GEOMETRY=" + geometry + "\n";
    ASSERT_TRUE(stage->addFile("/etc/sfdisk-compat.conf", conf));
  }

  // The installed system's own programs, copied into the new root before post-install.
  void stageNewSystem() {
    StagedRoot system(stage->hostPath("/newsystem"));
    ASSERT_TRUE(stage->addDirectory("/newsystem"));
    ASSERT_TRUE(system.addProgram("/bin/bash", "/bin/bash"));
    ASSERT_TRUE(
        system.addFile("/etc/rc.d/rc.postinstall",
                       "#!/bin/bash\necho postinstall ran\necho confined >/postinstall.out\n"
                       "exit 1\n",
                       0755));
    ASSERT_TRUE(system.addFile("/sbin/fsck",
                               "#!/bin/bash\necho \"fsck $*\"\n"
                               "if (: >/fsck-probe); then echo root writable; "
                               "else echo root read-only; fi\n",
                               0755));
  }

  std::string result(const std::string& name) {
    return readFile(stage->hostPath("/results/" + name));
  }

  // The table as the medium's sfdisk lists it, read on the host.
  std::string dumpTable() {
    return hostCommandOutput("SFDISK_COMPAT_CONF=/dev/null SFDISK_COMPAT_REAL='" +
                             hostProgram("sfdisk") + "' /bin/busybox sh " + kCompatSfdisk +
                             " -d -uC " + disk->device());
  }

  std::vector<unsigned char> sectorZero() {
    std::vector<unsigned char> sector(kSectorSize);
    int fd = open(disk->device().c_str(), O_RDONLY);
    if (fd < 0 || pread(fd, sector.data(), sector.size(), 0) != kSectorSize) sector.clear();
    if (fd >= 0) close(fd);
    return sector;
  }

  void expectBootCodeWithTable(uint32_t start, uint32_t size) {
    std::vector<unsigned char> sector = sectorZero();
    ASSERT_EQ(sector.size(), static_cast<size_t>(kSectorSize));
    EXPECT_EQ(memcmp(sector.data(), masterBootCode, kBootCodeSize), 0);
    for (int i = kBootCodeSize; i < kPartitionTableOffset; i++) {
      ASSERT_EQ(sector[i], 0) << "byte " << i;
    }
    const unsigned char* entry = sector.data() + kPartitionTableOffset;
    EXPECT_EQ(entry[0], 0x80);
    EXPECT_EQ(entry[4], 0x83);
    EXPECT_EQ(entry[8] | entry[9] << 8 | entry[10] << 16 | static_cast<uint32_t>(entry[11]) << 24,
              start);
    EXPECT_EQ(entry[12] | entry[13] << 8 | entry[14] << 16 | static_cast<uint32_t>(entry[15]) << 24,
              size);
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xAA);
  }

  // The file-system kind on partition `number` as blkid sees it ("ext2", "ext3").
  std::string fileSystemType(int number) {
    std::string type = hostCommandOutput("blkid -p -o value -s TYPE " + disk->device() + "p" +
                                         std::to_string(number) + " 2>/dev/null");
    while (!type.empty() && type.back() == '\n') type.pop_back();
    return type;
  }

  std::string partitionLine(int number, const char* rest) {
    return disk->device() + "p" + std::to_string(number) + " : " + rest + "\n";
  }

  ScratchDir scratch;
  std::unique_ptr<StagedRoot> stage;
  std::unique_ptr<LoopDisk> disk;
};

// The installer's own start: log terminal, signal handlers, context and drive detection.
bool startInstaller(InstallContext& context) {
  strcpy(logTerminalPath, "/dev/null");
  installSignalHandlers();
  initInstallContext(context);
  return detectTargetDrive(context);
}

TEST_F(PreparedDisk, onePartitionDiskBecomesAJournaledRoot) {
  attachDisk(200 * kMiB, "");  // 25 cylinders of 255 x 63
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    bool prepared = prepareTarget(context, false);
    saveTargetFiles();
    return prepared ? 0 : 3;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out),
            "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
            "Creating partition...\nFormatting disk...\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(result("mounts"), "/dev/hda1 /mnt ext3\n");
  EXPECT_EQ(result("lilo.conf"),
            "boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
            "  label=System\n  root=/dev/hda1\n  read-only\n");
  EXPECT_EQ(result("fstab"),
            "/dev/hda1  /     ext3 defaults 1 1\nnone /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(result("nofsck"), "");
  EXPECT_EQ(result("modes"),
            "/mnt/proc dir 755\n/mnt/vela dir 755\n/mnt/vela/etc dir 755\n/mnt/var dir 755\n"
            "/mnt/var/pdb dir 755\n");
  std::string expectedDump = "# partition table of " + disk->device() + "\nunit: sectors\n\n" +
                             partitionLine(1, "start=       63, size=   401562, Id=83, bootable") +
                             partitionLine(2, "start=        0, size=        0, Id= 0") +
                             partitionLine(3, "start=        0, size=        0, Id= 0") +
                             partitionLine(4, "start=        0, size=        0, Id= 0");
  EXPECT_EQ(dumpTable(), expectedDump);
  expectBootCodeWithTable(63, 401562);
  EXPECT_EQ(fileSystemType(1), "ext3");
}

TEST_F(PreparedDisk, smallDiskGetsExt2WithoutMarker) {
  attachDisk(32 * kMiB, "");  // 4 cylinders: 32,901,120 bytes, under 40 MiB
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    bool prepared = prepareTarget(context, false);
    saveTargetFiles();
    return prepared ? 0 : 3;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(result("mounts"), "/dev/hda1 /mnt ext2\n");
  EXPECT_EQ(result("nofsck"), "<missing>");
  EXPECT_EQ(result("fstab"),
            "/dev/hda1  /     ext2 defaults 1 1\nnone /proc proc defaults 0 0\n"
            "none /dev/pts devpts gid=5,mode=620 0 0\n");
  expectBootCodeWithTable(63, 4 * 16065 - 63);
  EXPECT_EQ(fileSystemType(1), "ext2");
}

TEST_F(PreparedDisk, moreThan1023CylindersGetBootAndRootPartitions) {
  attachDisk(1030 * kOldIdeCylinder, "16x63");  // B = 21 cylinders of 516,096 bytes
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    if (context.targetDrive.cylinders != 1030 || !context.targetDrive.twoPartitions) return 4;
    bool prepared = prepareTarget(context, false);
    saveTargetFiles();
    return prepared ? 0 : 3;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(result("mounts"), "/dev/hda2 /mnt ext3\n/dev/hda1 /mnt/boot ext2\n");
  EXPECT_EQ(result("lilo.conf"),
            "boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
            "  label=System\n  root=/dev/hda2\n  read-only\n");
  EXPECT_EQ(result("fstab"),
            "/dev/hda2  /     ext3 defaults 1 1\n/dev/hda1  /boot ext2 defaults 1 2\n"
            "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n");
  EXPECT_EQ(result("nofsck"), "");
  EXPECT_EQ(result("modes"),
            "/mnt/proc dir 755\n/mnt/vela dir 755\n/mnt/vela/etc dir 755\n/mnt/var dir 755\n"
            "/mnt/var/pdb dir 755\n");
  std::string expectedDump = "# partition table of " + disk->device() + "\nunit: sectors\n\n" +
                             partitionLine(1, "start=       63, size=    21105, Id=83, bootable") +
                             partitionLine(2, "start=    21168, size=  1017072, Id=83") +
                             partitionLine(3, "start=        0, size=        0, Id= 0") +
                             partitionLine(4, "start=        0, size=        0, Id= 0");
  EXPECT_EQ(dumpTable(), expectedDump);
  expectBootCodeWithTable(63, 21105);
  EXPECT_EQ(fileSystemType(1), "ext2");
  EXPECT_EQ(fileSystemType(2), "ext3");
}

TEST_F(PreparedDisk, detectionOnlyReadsTheDisk) {
  attachDisk(64 * kMiB, "");
  // Another system's disk: its own boot code, a table and data.
  std::string other(kSectorSize, '\0');
  for (int i = 0; i < kPartitionTableOffset; i++) other[i] = static_cast<char>(i * 13 + 5);
  other[kPartitionTableOffset] = static_cast<char>(0x80);
  other[kPartitionTableOffset + 4] = 0x83;
  other[kPartitionTableOffset + 8] = 63;
  other[kPartitionTableOffset + 12] = 100;
  other[510] = 0x55;
  other[511] = static_cast<char>(0xAA);
  int fd = open(disk->device().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, other.data(), other.size(), 0), kSectorSize);
  ASSERT_EQ(pwrite(fd, "data", 4, 5 * kMiB), 4);
  close(fd);
  std::string hashCommand = "sha256sum " + disk->device();
  std::string before = hostCommandOutput(hashCommand);
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    return startInstaller(context) ? 0 : 2;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(hostCommandOutput(hashCommand), before);
  EXPECT_EQ(hostCommandOutput("sha256sum " + scratch.file("disk.img")).substr(0, 64),
            before.substr(0, 64));
}

TEST_F(PreparedDisk, keptConfigurationComesBackWithItsMetadata) {
  attachDisk(120 * kMiB, "");
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context) || !prepareTarget(context, false)) return 2;
    if (!buildOldConfiguration()) return 3;
    (void)writeFile("/results/before", describeTree("/mnt/vela/store"));
    (void)platform().umount("/mnt");
    puts("-- reinstall");
    if (!prepareTarget(context, true)) return 4;
    (void)writeFile("/results/after", describeTree("/mnt/vela/store"));
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out.substr(run.out.find("-- reinstall"))),
            "-- reinstall\nReading old configuration...\nCreating partition...\n"
            "Formatting disk...\nWriting back old configuration...\n");
  std::string before = result("before");
  std::string after = result("after");
  ASSERT_NE(before.find("/mnt/vela/store/current other"), std::string::npos) << before;
  ASSERT_NE(before.find("/mnt/vela/store/net/if/eth0 file 640 1234 5678 40000 946684800.987654321"),
            std::string::npos)
      << before;
  // Everything but the symbolic link, which is neither kept nor followed.
  std::string expected;
  size_t start = 0;
  while (start < before.size()) {
    size_t end = before.find('\n', start) + 1;
    std::string line = before.substr(start, end - start);
    if (line.find("/mnt/vela/store/current ") != 0) expected += line;
    start = end;
  }
  EXPECT_EQ(after, expected);
}

TEST_F(PreparedDisk, keepingOnABlankDiskSaysNothing) {
  attachDisk(64 * kMiB, "");
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    return prepareTarget(context, true) ? 0 : 3;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out),
            "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
            "Creating partition...\nFormatting disk...\n");
}

TEST_F(PreparedDisk, failingMke2fsReportsFormattingAndLeavesNothingMounted) {
  attachDisk(64 * kMiB, "");
  ASSERT_TRUE(stage->addFile("/sbin/mke2fs", "#!/bin/sh\necho refusing >&2\nexit 1\n", 0755));
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    bool prepared = prepareTarget(context, false);
    (void)writeFile("/results/mounts", targetMounts());
    return prepared ? 3 : 0;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out),
            "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
            "Creating partition...\nFormatting disk...\nERROR: could not format partitions\n");
  EXPECT_EQ(result("mounts"), "");
  // The operator agreed to the erase: the boot code and the new table are on the disk.
  expectBootCodeWithTable(63, 8 * 16065 - 63);
}

TEST_F(PreparedDisk, existingVarIsReportedAndPreparationGoesOn) {
  attachDisk(64 * kMiB, "");
  ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs.real"));
  ASSERT_TRUE(stage->addProgram(hostProgram("debugfs"), "/sbin/debugfs"));
  // A formatter whose new file system already holds "/var".
  ASSERT_TRUE(stage->addFile("/sbin/mke2fs",
                             "#!/bin/sh\n/sbin/mke2fs.real \"$@\" || exit 1\n"
                             "for last; do :; done\n"
                             "/sbin/debugfs -w -R 'mkdir var' \"$last\" >/dev/null 2>&1\n",
                             0755));
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context)) return 2;
    bool prepared = prepareTarget(context, false);
    saveTargetFiles();
    return prepared ? 0 : 3;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "/var: File exists\n");
  EXPECT_EQ(result("modes"),
            "/mnt/proc dir 755\n/mnt/vela dir 755\n/mnt/vela/etc dir 755\n/mnt/var dir 755\n"
            "/mnt/var/pdb dir 755\n");
}

TEST_F(PreparedDisk, postInstallRunsConfinedAndChecksAOnePartitionDisk) {
  attachDisk(64 * kMiB, "");
  stageNewSystem();
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context) || !prepareTarget(context, false)) return 2;
    puts("-- post-install");
    return runPostInstall(context);
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out.substr(run.out.find("-- post-install"))),
            "-- post-install\nChecking disk integrity...\n");
  EXPECT_EQ(toolLines(result("log")), "postinstall ran\nfsck -d -v\nroot read-only\n");
  EXPECT_EQ(result("postinstall.out"), "confined\n");
  EXPECT_EQ(result("fsck-probe"), "<missing>");
  EXPECT_EQ(result("mounts-after"), "");
}

TEST_F(PreparedDisk, postInstallDoesNotCheckATwoPartitionDisk) {
  attachDisk(1030 * kOldIdeCylinder, "16x63");
  stageNewSystem();
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context) || !prepareTarget(context, false)) return 2;
    puts("-- post-install");
    return runPostInstall(context);
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.substr(run.out.find("-- post-install")), "-- post-install\n");
  EXPECT_EQ(toolLines(result("log")), "postinstall ran\n");
  EXPECT_EQ(result("postinstall.out"), "confined\n");
  EXPECT_EQ(result("mounts-after"), "");
}

}  // namespace
