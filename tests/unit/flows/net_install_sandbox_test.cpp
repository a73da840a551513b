// The network installation end to end over real sockets (root): the static installer as init
// of a staged root with a loop disk, booted as the network medium in one network namespace,
// and netinstall-server in another, joined by a veth pair without IPv4 addresses. What the
// router's disk holds afterwards and what the server says are checked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flows/config_script.h"
#include "support/qpk_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr unsigned long long kDiskBytes = 64ull * 1024 * 1024;
constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";
constexpr const char* kInstaller = TRENAVOX_BINARY_DIR "/src/program/trenavox-installer";
constexpr const char* kServer = TRENAVOX_BINARY_DIR "/tools/netinstall-server/netinstall-server";
const MacAddress kRouterMac = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const std::string kRouterMacText = "02:00:00:00:00:01";

class NetInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable =
        sandboxUnavailable({"losetup", "mke2fs", "sfdisk", "addpart", "delpart", "debugfs", "ip"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    std::string tag = std::to_string(getpid());
    router = "tvx-router-" + tag;
    server = "tvx-server-" + tag;
    // IPv6 off before the link exists, so that no autoconfiguration frame ever crosses it.
    for (const std::string& ns : {router, server}) {
      ASSERT_EQ(run("ip netns add " + ns), 0);
      ASSERT_EQ(run("ip netns exec " + ns + " sh -c 'for f in all default; do echo 1 " +
                    ">/proc/sys/net/ipv6/conf/$f/disable_ipv6; done'"),
                0);
    }
    ASSERT_EQ(run("ip link add name tvxr address " + kRouterMacText + " netns " + router +
                  " type veth peer name tvxs address 02:00:00:00:00:02 netns " + server),
              0);
    ASSERT_EQ(mkdir(scratch.file("root").c_str(), 0755), 0);
    stage = std::make_unique<StagedRoot>(scratch.file("root"));
    ASSERT_TRUE(stage->addCompatSfdisk(kCompatSfdisk));
    ASSERT_TRUE(stage->addProgram(hostProgram("mke2fs"), "/sbin/mke2fs"));
    ASSERT_TRUE(stage->addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")));
    ASSERT_TRUE(stage->addProgram(kInstaller, "/sbin/init"));
    ASSERT_TRUE(stage->addFile("/TYPE", "net\n") && stage->addFile("/dev/tty0", "") &&
                stage->addDirectory("/mnt"));
    disk = std::make_unique<LoopDisk>(scratch.file("disk.img"), kDiskBytes);
    ASSERT_FALSE(disk->device().empty()) << "no loop device could be attached";
    for (const char* part : {"", "1", "2"}) {
      ASSERT_TRUE(stage->addSymlink(std::string("/dev/hda") + part,
                                    "host/" + disk->name() + (*part ? "p" : "") + part));
    }
    ASSERT_TRUE(stage->addFile("/etc/sfdisk-compat.conf", "SFDISK_COMPAT_DEVICES=/dev/hda\n"));
    for (const char* name : {"p1", "p2"}) {
      ASSERT_TRUE(writeTestPackage(scratch.file(std::string(name) + ".qpk"),
                                   {name,
                                    "1.0",
                                    "",
                                    {},
                                    {"opt"},
                                    {{std::string("opt/") + name, std::string(name) + "\n"}}}));
    }
  }
  void TearDown() override {
    for (const std::string& ns : {router, server}) {
      if (!ns.empty()) run("ip netns del " + ns + " 2>/dev/null");
    }
  }

  static int run(const std::string& command) { return system(command.c_str()); }

  // A file of the installed root partition, read on the host; "" when it is missing.
  std::string diskFile(const std::string& path) {
    return hostCommandOutput("debugfs -R 'cat " + path + "' " + disk->device() + "p1 2>/dev/null");
  }

  // Starts the server in its namespace with `options` and the two packages; then boots the
  // router's installer as init of a PID namespace in the other. Returns the server's wait
  // status; its output goes to `serverOut`, the router's console to `routerOut`.
  int installOnce(const std::string& options) {
    std::string command = "exec ip netns exec " + server + " " + kServer + " " + options + " " +
                          scratch.file("p2.qpk") + " " + scratch.file("p1.qpk") + " </dev/null >" +
                          scratch.file("server.out") + " 2>&1";
    pid_t serverPid = fork();
    if (serverPid == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int netns = open(("/run/netns/" + router).c_str(), O_RDONLY | O_CLOEXEC);
    int console[2];
    EXPECT_EQ(pipe(console), 0);  // held open and silent: nothing is asked of the console
    auto start = std::chrono::steady_clock::now();
    ChildRun client = runInStagedRoot(*stage, [&] {
      if (setns(netns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWPID) != 0) return 1;
      dup2(console[0], 0);
      pid_t init = fork();
      if (init == 0) {
        execl("/sbin/init", "/sbin/init", static_cast<char*>(nullptr));
        _exit(127);
      }
      int status = 0;
      waitpid(init, &status, 0);
      return 0;
    });
    int status = -1;
    waitpid(serverPid, &status, 0);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(console[0]);
    close(console[1]);
    close(netns);
    routerOut = client.out + client.err;
    serverOut = readFile(scratch.file("server.out"));
    return status;
  }

  std::string router, server;
  ScratchDir scratch;
  std::unique_ptr<StagedRoot> stage;
  std::unique_ptr<LoopDisk> disk;
  std::string routerOut, serverOut;
  double seconds = 0;
};

std::string lastLine(const std::string& text) {
  size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST_F(NetInstall, serverInstallsPackagesAndScriptOfItsSettingsThenKeepsTheStoredConfig) {
  int status = installOnce("--address 10.1.2.3/24 --gateway 10.1.2.1 --baud 9600 --timeout 60");
  RecordProperty("seconds", std::to_string(seconds));
  std::cout << "installation took " << seconds << " s\n";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << serverOut << routerOut;
  EXPECT_EQ(lastLine(serverOut), "router " + kRouterMacText + ": installed") << serverOut;
  // The catalogue's order, whatever the command line's.
  EXPECT_LT(serverOut.find("Transfering: p1"), serverOut.find("Transfering: p2")) << serverOut;
  EXPECT_NE(serverOut.find("Transfering: configuration..."), std::string::npos);
  EXPECT_EQ(diskFile("/opt/p1"), "p1\n") << routerOut;
  EXPECT_EQ(diskFile("/opt/p2"), "p2\n");
  in_addr address = {inet_addr("10.1.2.3")}, gateway = {inet_addr("10.1.2.1")};
  EXPECT_EQ(diskFile("/autorun.scr"), buildConfigScript(kRouterMac, address, 24, gateway, 9600));
  EXPECT_NE(hostCommandOutput("debugfs -R 'stat /CDINSTALL' " + disk->device() + "p1 2>&1")
                .find("Type: regular"),
            std::string::npos);

  // Once more on that disk, keeping the configuration the router has stored since.
  ASSERT_TRUE(writeFile(scratch.file("hosts"), "127.0.0.1\n") &&
              writeFile(scratch.file("store.cmd"), "mkdir /vela/store\ncd /vela/store\nwrite " +
                                                       scratch.file("hosts") + " hosts\n"));
  ASSERT_EQ(run("debugfs -w -f " + scratch.file("store.cmd") + " " + disk->device() +
                "p1 >/dev/null 2>&1"),
            0);
  status = installOnce("--keep-config --timeout 60");
  std::cout << "keeping the configuration took " << seconds << " s\n";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << serverOut << routerOut;
  EXPECT_EQ(lastLine(serverOut), "router " + kRouterMacText + ": installed") << serverOut;
  EXPECT_EQ(diskFile("/vela/store/hosts"), "127.0.0.1\n") << routerOut;
  EXPECT_EQ(diskFile("/opt/p2"), "p2\n");
  EXPECT_EQ(diskFile("/autorun.scr"), "");  // no script comes: the kept one is the router's
}

}  // namespace
