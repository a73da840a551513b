// The whole run of installerMain in a forked child chrooted into a scratch root (as root): the
// init split and its collecting of orphans, module loading, the mode choice from "-hdd-install"
// and "/TYPE", the dispatch's unmounts, the reboot prompt and the sync before the reboot, all
// on the recording platform; and once with the real platform as PID 1 of its own PID
// namespace, where the real reboot ends the namespace.
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/signals.h"
#include "program/startup.h"
#include "support/fake_platform.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

pid_t runnerPid = -1;
pid_t orphan = 0;

// Leaves an orphan behind at the first mount and gives whoever collects orphans time to do
// so; writes down the run at the reboot.
class RunRecorder : public FakePlatform {
 public:
  RunRecorder() { rebootExits = true; }
  int mount(const char* source, const char* target, const char* type, unsigned long flags,
            const void* data) override {
    int ends[2];
    if (orphan == 0 && pipe(ends) == 0) {
      pid_t middle = fork();
      if (middle == 0) {
        // The orphan has ended, and nobody collected it, when its parent goes.
        signal(SIGCHLD, SIG_DFL);
        pid_t ended = fork();
        if (ended == 0) _exit(0);
        siginfo_t info;
        waitid(P_PID, ended, &info, WEXITED | WNOWAIT);
        _exit(write(ends[1], &ended, sizeof ended) == sizeof ended ? 0 : 1);
      }
      close(ends[1]);
      if (read(ends[0], &orphan, sizeof orphan) != sizeof orphan) orphan = -1;
      close(ends[0]);
      int status;
      waitForChild(middle, &status);
      for (int tries = 0; tries < 300 && kill(orphan, 0) == 0; ++tries) usleep(10000);
    }
    return FakePlatform::mount(source, target, type, flags, data);
  }
  int reboot(int command) override {
    printf("{%s%s%s", getpid() == runnerPid ? "" : "forked", abortDisabled ? "" : " abortable",
           kill(orphan, 0) == 0 ? " orphan left" : "");
    for (const std::string& call : calls) printf("|%s", call.c_str());
    printf("}");
    return FakePlatform::reboot(command);
  }
};

class StartupSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chroot into the test's root";
    struct utsname system;
    uname(&system);
    ASSERT_TRUE(
        root.addDirectory("/dev/host") && root.addDirectory("/proc") &&
        root.addFile("/dev/tty0", "") &&  // a text console
        root.addFile(std::string("/lib/modules/") + system.release + "/misc/flash.ko", "image"));
  }

  // Runs installerMain as `args` in the root with one Enter on standard input; returns what it
  // wrote, then "returned <status>" when the call came back. With `real` the real platform
  // runs as PID 1 of a new PID namespace, followed by "ended <signal>".
  std::string run(std::vector<std::string> args, bool real = false) {
    int input[2];
    if (pipe(input) != 0 || write(input[1], "\n", 1) != 1) return "no pipe";
    close(input[1]);
    ChildRun run = runInStagedRoot(root, [&] {
      dup2(input[0], 0);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(&arg[0]);
      argv.push_back(nullptr);
      int argc = static_cast<int>(args.size());
      if (real) {
        if (unshare(CLONE_NEWPID) != 0) return 1;
        pid_t init = fork();
        // The real reboot only ever as the init of the namespace just made.
        if (init == 0 && getpid() == 1) _exit(installerMain(argc, argv.data()));
        int status = 0;
        waitpid(init, &status, 0);
        printf("ended %d", WIFSIGNALED(status) ? WTERMSIG(status) : -1);
        return 0;
      }
      // Orphans come to us as they would to PID 1.
      prctl(PR_SET_CHILD_SUBREAPER, 1);
      runnerPid = getpid();
      RunRecorder recorder;
      printf("returned %d", installerMain(argc, argv.data()));
      return 0;
    });
    close(input[0]);
    return run.out;
  }
  ScratchDir dir;
  StagedRoot root{dir.path()};
};

const char* const kModeMarkers[] = {"floppy installation", "CD-ROM installation",
                                    "hard disk installation", "remote installation"};
const std::string kEnd = "Press ENTER to reboot\n\x1b[?25h\nRebooting...\n";
const std::string kCalls =
    "|loadModule 5 ''|mount proc /proc proc 0|umount /floppy|"
    "umount /mnt/boot|umount /mnt|sync}REBOOT 1234567\n";

TEST_F(StartupSandbox, modeComesFromTheHddSwitchOrTheFirstLineOfType) {
  const struct {
    const char* type;  // null: no "/TYPE"
    std::vector<std::string> args;
    int mode;  // index into kModeMarkers
  } cases[] = {{"cdrom\n", {}, 1},
               {"cdrom", {}, 1},
               {"CDROM\n", {}, 0},
               {"cdrom x\n", {}, 0},
               {nullptr, {}, 0},
               {"", {}, 0},
               {"net\n", {}, 3},
               {"cdrom\n", {"-hdd-install"}, 2},
               {"net\n", {"x", "-hdd-install", "y"}, 2},
               {"cdrom\n", {"-hdd-installx"}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type ? c.type : "(no /TYPE)") + " " + std::to_string(c.args.size()));
    unlink(root.hostPath("/TYPE").c_str());
    if (c.type) root.addFile("/TYPE", c.type);
    std::vector<std::string> args = {"/bin/installer"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string text = run(args);
    for (int mode = 0; mode < 4; ++mode) {
      EXPECT_EQ(text.find(kModeMarkers[mode]) != std::string::npos, mode == c.mode) << text;
    }
    // No split under another name: the installer itself reboots, and nothing returns.
    EXPECT_EQ(text.substr(text.find("Press ENTER")), kEnd + "{" + kCalls);
  }
}

TEST_F(StartupSandbox, initNameForksAWaitingParentThatCollectsOrphansAndTheRebootEndsIt) {
  root.addFile("/TYPE", "cdrom\n");
  std::string text = run({"/sbin/init"});
  EXPECT_EQ(text.substr(text.find("Press ENTER")), kEnd + "{forked" + kCalls + "returned 0");
  text = run({"/sbin/init"}, true);
  EXPECT_EQ(text.substr(text.find("Press ENTER")), kEnd + "ended " + std::to_string(SIGHUP));
}

}  // namespace
