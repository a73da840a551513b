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

#include <algorithm>
#include <memory>
#include <string>

#include "core/context.h"
#include "core/le.h"
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
constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";

// Shell lines run in the child (busybox sh). The first copies what a test looks at from the
// new root to /results, which outlives the namespace.
const char kSaveTargetFiles[] =
    "(rm -f /results/*; grep ' /mnt' /proc/mounts | cut -d' ' -f1-3 >/results/mounts; "
    "cp /mnt/etc/lilo.conf /mnt/etc/fstab /results/; cp /mnt/.nofsck /results/nofsck; "
    "stat -c '%n %F %a' /mnt/proc /mnt/vela /mnt/vela/etc /mnt/var /mnt/var/pdb >/results/modes"
    ") 2>/dev/null";
// The kept configuration: directories by mode and owner (a restored one gets new times from
// its members), everything else with size and times, then the files' sums.
const char kDescribeStore[] =
    "cd /mnt/vela/store && { find . -type d | sort | xargs stat -c '%n %F %a %u %g'; "
    "find . ! -type d | sort | xargs stat -c '%n %F %a %u %g %s %y %x'; "
    "find . -type f | sort | xargs md5sum; } >/results/";

void setTimes(const char* path, time_t atime, time_t mtime) {
  struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
  (void)utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

// Builds the old configuration: nested directories, a 40,000-byte file, an empty file, a
// symbolic link, odd modes, owners and times. Access times lie ahead, so that reading the
// files (relatime) does not move them.
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
            symlink("net/if/eth0", "/mnt/vela/store/current") == 0 &&
            chown("/mnt/vela/store/net/if/eth0", 1234, 5678) == 0 &&
            chown("/mnt/vela/store/net/empty.conf", 42, 43) == 0 &&
            chown("/mnt/vela/store/net", 7, 8) == 0 &&
            chmod("/mnt/vela/store/hosts", 04755) == 0;  // chown clears set-user-id
  setTimes("/mnt/vela/store/net/if/eth0", now + 60, 946684800);
  setTimes("/mnt/vela/store/net/empty.conf", now + 30, 1000000000);
  setTimes("/mnt/vela/store/hosts", now + 10, now - 20);
  return ok;
}

// Installs the new system's post-install script and checker (staged under /newsystem) into the
// new root, runs post-install with the log terminal on a pipe, then mounts the root again to
// look. The pipe sits above the descriptors a tool's child closes, and each tool opens it by
// its /proc name.
int runPostInstall(InstallContext& context) {
  int ends[2];
  if (system("rm -f /results/*; cp -a /newsystem/. /mnt/") != 0 || pipe(ends) != 0) return 10;
  int writer = fcntl(ends[1], F_DUPFD, 20);
  close(ends[1]);
  snprintf(logTerminalPath, sizeof logTerminalPath, "/proc/self/fd/%d", writer);
  int unmounted = postInstall(context);
  close(writer);
  std::string log;
  char buffer[4096];
  ssize_t got;
  while ((got = read(ends[0], buffer, sizeof buffer)) > 0) log.append(buffer, got);
  // Without the shells' complaints (bash notices that its working directory lies outside the
  // confining root; the probe's failure).
  (void)writeFile("/results/log.raw", log);
  (void)system("grep -v -e ^shell-init: -e ^/sbin/fsck: /results/log.raw >/results/log");
  (void)system("grep ' /mnt' /proc/mounts >/results/mounts-after");
  if (platform().mount(context.targetDrive.twoPartitions ? "/dev/hda2" : "/dev/hda1", "/mnt",
                       "ext3", 0, nullptr) != 0) {
    return 12;
  }
  (void)system("cp /mnt/postinstall.out /mnt/fsck-probe /results/ 2>/dev/null");
  (void)platform().umount("/mnt");
  return unmounted == 0 ? 0 : 13;
}

class PreparedDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable =
        sandboxUnavailable({"losetup", "mke2fs", "sfdisk", "addpart", "delpart", "debugfs"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addCompatSfdisk(kCompatSfdisk));
    ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs"));
    ASSERT_TRUE(stage->addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")));
    ASSERT_TRUE(stage->addDirectory("/mnt"));
    ASSERT_TRUE(stage->addDirectory("/results", 0777));
  }

  // Attaches a fresh disk of `bytes` as the medium's "/dev/hda"; `geometry` is the compat
  // sfdisk's override ("16x63") or empty.
  void attachDisk(unsigned long long bytes, const std::string& geometry = "") {
    disk = std::make_unique<LoopDisk>(scratch.file("disk.img"), bytes);
    ASSERT_FALSE(disk->device().empty()) << "no loop device could be attached";
    for (const char* part : {"", "1", "2"}) {
      ASSERT_TRUE(stage->addSymlink(std::string("/dev/hda") + part,
                                    "host/" + disk->name() + (*part ? "p" : "") + part));
    }
    ASSERT_TRUE(
        stage->addFile("/etc/sfdisk-compat.conf",
                       "SFDISK_COMPAT_DEVICES=/dev/hda\n" +
                           (geometry.empty() ? "" : "SFDISK_COMPAT_GEOMETRY=" + geometry + "\n")));
  }

  // The installed system's own programs, copied into the new root before post-install.
  void stageNewSystem() {
    StagedRoot system(stage->hostPath("/newsystem"));
    ASSERT_TRUE(stage->addDirectory("/newsystem"));
    ASSERT_TRUE(system.addProgram("/bin/bash", "/bin/bash"));
    ASSERT_TRUE(system.addFile(
        "/etc/rc.d/rc.postinstall",
        "#!/bin/bash\necho postinstall ran\necho confined >/postinstall.out\nexit 1\n", 0755));
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
                             hostProgram("sfdisk") + "' " + kCompatSfdisk + " -d -uC " +
                             disk->device());
  }

  // Sector 0 holds our boot code, zeros up to the table, a first entry of a bootable Linux
  // partition from `start` of `size` sectors, and the signature.
  void expectBootCodeWithTable(uint32_t start, uint32_t size) {
    std::string sector = readFile(disk->device()).substr(0, kSectorSize);
    ASSERT_EQ(sector.size(), static_cast<size_t>(kSectorSize));
    EXPECT_EQ(memcmp(sector.data(), masterBootCode, kBootCodeSize), 0);
    EXPECT_EQ(sector.substr(kBootCodeSize, kPartitionTableOffset - kBootCodeSize),
              std::string(kPartitionTableOffset - kBootCodeSize, '\0'));
    const unsigned char* entry =
        reinterpret_cast<const unsigned char*>(sector.data()) + kPartitionTableOffset;
    EXPECT_EQ(entry[0], 0x80);
    EXPECT_EQ(entry[4], 0x83);
    EXPECT_EQ(loadLe32(entry + 8), start);
    EXPECT_EQ(loadLe32(entry + 12), size);
    EXPECT_EQ(sector.substr(510), "\x55\xAA");
  }

  // The file-system kind on partition `number` as blkid sees it ("ext2", "ext3").
  std::string fileSystemType(int number) {
    std::string type = hostCommandOutput("blkid -p -o value -s TYPE " + disk->device() + "p" +
                                         std::to_string(number) + " 2>/dev/null");
    while (!type.empty() && type.back() == '\n') type.pop_back();
    return type;
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

// A first install without keeping anything; exits 3 when it failed.
int prepareAndSave() {
  InstallContext context;
  if (!startInstaller(context)) return 2;
  bool prepared = prepareTarget(context, false);
  (void)system(kSaveTargetFiles);
  return prepared ? 0 : 3;
}

const char kDetected[] =
    "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n";
const char kBaseDirectories[] =
    "/mnt/proc directory 755\n/mnt/vela directory 755\n/mnt/vela/etc directory 755\n"
    "/mnt/var directory 755\n/mnt/var/pdb directory 755\n";
const char kVirtualMounts[] =
    "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n";

std::string liloConf(const char* root) {
  return std::string(
             "boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
             "  label=System\n  root=") +
         root + "\n  read-only\n";
}

TEST_F(PreparedDisk, diskIsPartitionedFormattedAndMountedByItsLayout) {
  struct Layout {
    unsigned long long bytes;
    const char* geometry;
    const char* mounts;     // the first word is the root partition
    const char* fstabHead;  // the lines before kVirtualMounts
    const char* nofsck;
    uint32_t firstSize;
    const char* secondEntry;
    const char* types;  // of each partition
  } layouts[] = {
      {200 * kMiB, "", "/dev/hda1 /mnt ext3\n", "/dev/hda1  /     ext3 defaults 1 1\n", "", 401562,
       "start=        0, size=        0, Id= 0", "ext3"},
      // 4 cylinders, 32,901,120 bytes: under 40 MiB.
      {32 * kMiB, "", "/dev/hda1 /mnt ext2\n", "/dev/hda1  /     ext2 defaults 1 1\n", "<missing>",
       64197, "start=        0, size=        0, Id= 0", "ext2"},
      // More than 1023 cylinders: 21 cylinders of 516,096 bytes for /boot.
      {1030 * kOldIdeCylinder, "16x63", "/dev/hda2 /mnt ext3\n/dev/hda1 /mnt/boot ext2\n",
       "/dev/hda2  /     ext3 defaults 1 1\n/dev/hda1  /boot ext2 defaults 1 2\n", "", 21105,
       "start=    21168, size=  1017072, Id=83", "ext2 ext3"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.mounts);
    attachDisk(layout.bytes, layout.geometry);
    ChildRun run = runInStagedRoot(*stage, prepareAndSave);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(withoutTickerDots(run.out),
              std::string(kDetected) + "Creating partition...\nFormatting disk...\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(result("mounts"), layout.mounts);
    EXPECT_EQ(result("lilo.conf"), liloConf(std::string(layout.mounts, 9).c_str()));
    EXPECT_EQ(result("fstab"), layout.fstabHead + std::string(kVirtualMounts));
    EXPECT_EQ(result("nofsck"), layout.nofsck);
    EXPECT_EQ(result("modes"), kBaseDirectories);
    char first[64];
    snprintf(first, sizeof first, "start=       63, size=%9u, Id=83, bootable", layout.firstSize);
    const std::string entries[] = {first, layout.secondEntry,
                                   "start=        0, size=        0, Id= 0"};
    std::string dump = "# partition table of " + disk->device() + "\nunit: sectors\n\n";
    for (int i = 0; i < 4; i++) {
      dump += disk->device() + "p" + std::to_string(i + 1) + " : " + entries[std::min(i, 2)] + "\n";
    }
    EXPECT_EQ(dumpTable(), dump);
    expectBootCodeWithTable(63, layout.firstSize);
    std::string types = fileSystemType(1);
    if (strchr(layout.types, ' ')) types += " " + fileSystemType(2);
    EXPECT_EQ(types, layout.types);
    disk.reset();
  }
}

TEST_F(PreparedDisk, detectionOnlyReadsTheDisk) {
  attachDisk(64 * kMiB);
  // Another system's disk: its own boot code, a bootable partition from sector 63, data.
  std::string other(kSectorSize, '\0');
  for (int i = 0; i < kPartitionTableOffset; i++) other[i] = static_cast<char>(i * 13 + 5);
  other.replace(kPartitionTableOffset, 16,
                std::string("\x80\0\0\0\x83\0\0\0\x3f\0\0\0\x64\0\0\0", 16));
  other.replace(510, 2, "\x55\xAA");
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

// Keeping on a blank disk finds nothing and says nothing; keeping across a reinstall brings
// the configuration back byte for byte, all but the symbolic link.
TEST_F(PreparedDisk, keptConfigurationComesBackWithItsMetadata) {
  attachDisk(120 * kMiB);
  ChildRun run = runInStagedRoot(*stage, [] {
    InstallContext context;
    if (!startInstaller(context) || !prepareTarget(context, true)) return 2;
    if (!buildOldConfiguration()) return 3;
    (void)system((std::string(kDescribeStore) + "before").c_str());
    (void)platform().umount("/mnt");
    puts("-- reinstall");
    if (!prepareTarget(context, true)) return 4;
    (void)system((std::string(kDescribeStore) + "after").c_str());
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(withoutTickerDots(run.out),
            std::string(kDetected) +
                "Creating partition...\nFormatting disk...\n-- reinstall\n"
                "Reading old configuration...\nCreating partition...\nFormatting disk...\n"
                "Writing back old configuration...\n");
  std::string before = result("before");
  ASSERT_NE(before.find("./net/if/eth0 regular file 640 1234 5678 40000 2000-01-01 00:00:00.98"),
            std::string::npos)
      << before;
  size_t link = before.find("./current symbolic link 777 0 0 11 ");
  ASSERT_NE(link, std::string::npos) << before;
  EXPECT_EQ(result("after"), before.erase(link, before.find('\n', link) + 1 - link));
}

TEST_F(PreparedDisk, failuresAreReportedWithTheToolsOwnWords) {
  attachDisk(64 * kMiB);
  ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs.real"));
  ASSERT_TRUE(stage->addProgram(hostProgram("debugfs"), "/sbin/debugfs"));
  struct Case {
    const char* mke2fs;
    const char* out;
    const char* err;
    bool prepared;
  } cases[] = {
      {"echo refusing >&2\nexit 1\n", "ERROR: could not format partitions\n", "", false},
      // A formatter whose new file system already holds "/var": preparation goes on.
      {"/sbin/mke2fs.real \"$@\" || exit 1\nfor last; do :; done\n"
       "/sbin/debugfs -w -R 'mkdir var' \"$last\" >/dev/null 2>&1\n",
       "", "/var: File exists\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mke2fs);
    ASSERT_TRUE(stage->addFile("/sbin/mke2fs", std::string("#!/bin/sh\n") + c.mke2fs, 0755));
    ChildRun run = runInStagedRoot(*stage, prepareAndSave);
    EXPECT_EQ(run.status == 0, c.prepared) << run.out << run.err;
    EXPECT_EQ(withoutTickerDots(run.out),
              std::string(kDetected) + "Creating partition...\nFormatting disk...\n" + c.out);
    EXPECT_EQ(run.err, c.err);
    if (c.prepared) {
      EXPECT_EQ(result("modes"), kBaseDirectories);
    } else {
      EXPECT_EQ(result("mounts"), "");
      // The operator agreed to the erase: the boot code and the new table are on the disk.
      expectBootCodeWithTable(63, 8 * 16065 - 63);
    }
  }
}

TEST_F(PreparedDisk, postInstallRunsConfinedAndChecksOnlyAOnePartitionDisk) {
  stageNewSystem();
  struct Case {
    unsigned long long bytes;
    const char* geometry;
    const char* out;
    const char* log;
  } cases[] = {
      {64 * kMiB, "", "Checking disk integrity...\n",
       "postinstall ran\nfsck -d -v\nroot read-only\n"},
      {1030 * kOldIdeCylinder, "16x63", "", "postinstall ran\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.geometry);
    attachDisk(c.bytes, c.geometry);
    ChildRun run = runInStagedRoot(*stage, [] {
      InstallContext context;
      if (!startInstaller(context) || !prepareTarget(context, false)) return 2;
      puts("-- post-install");
      return runPostInstall(context);
    });
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(withoutTickerDots(run.out.substr(run.out.find("-- post-install"))),
              std::string("-- post-install\n") + c.out);
    EXPECT_EQ(result("log"), c.log);
    EXPECT_EQ(result("postinstall.out"), "confined\n");
    EXPECT_EQ(result("fsck-probe"), "<missing>");
    EXPECT_EQ(result("mounts-after"), "");
    disk.reset();
  }
}

}  // namespace
