// The network installation end to end over real sockets (root): the static installer as init
// of a staged root with a loop disk, booted as the network medium in one network namespace,
// and netinstall-server in another, joined by a veth pair without IPv4 addresses. What the
// router's disk holds afterwards and what the server says are checked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "flows/config_script.h"
#include "support/lossy_switch.h"
#include "support/qpk_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";
constexpr const char* kInstaller = TRENAVOX_BINARY_DIR "/src/program/trenavox-installer";
constexpr const char* kServer = TRENAVOX_BINARY_DIR "/tools/netinstall-server/netinstall-server";
const std::string kInstalled = "router 02:00:00:00:00:01: installed\n";

class NetInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string unavailable =
        sandboxUnavailable({"losetup", "mke2fs", "sfdisk", "addpart", "delpart", "debugfs", "ip"});
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    router = "tvx-router-" + std::to_string(getpid());
    server = "tvx-server-" + std::to_string(getpid());
    // IPv6 off before the link exists, so that no autoconfiguration frame ever crosses it.
    for (const std::string& ns : {router, server}) {
      ASSERT_EQ(run("ip netns add " + ns + " && ip netns exec " + ns + " sh -c 'for f in all " +
                    "default; do echo 1 >/proc/sys/net/ipv6/conf/$f/disable_ipv6; done'"),
                0);
    }
    ASSERT_EQ(run("ip link add name tvxr address 02:00:00:00:00:01 netns " + router +
                  " type veth peer name tvxs address 02:00:00:00:00:02 netns " + server),
              0);
    ASSERT_TRUE(stage.addCompatSfdisk(kCompatSfdisk) &&
                stage.addProgram(hostProgram("mke2fs"), "/sbin/mke2fs") &&
                stage.addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")) &&
                stage.addProgram(kInstaller, "/sbin/init") && stage.addFile("/TYPE", "net\n") &&
                stage.addFile("/dev/tty0", "") && stage.addDirectory("/mnt") &&
                stage.addFile("/etc/sfdisk-compat.conf", "SFDISK_COMPAT_DEVICES=/dev/hda\n"));
    disk = std::make_unique<LoopDisk>(scratch.file("disk.img"), 64ull << 20);
    ASSERT_FALSE(disk->device().empty()) << "no loop device could be attached";
    for (const char* part : {"", "1", "2"}) {
      ASSERT_TRUE(stage.addSymlink(std::string("/dev/hda") + part,
                                   "host/" + disk->name() + (*part ? "p" : "") + part));
    }
    for (std::string name : {"p1", "p2"}) ASSERT_TRUE(addPackage(name, name + "\n"));
  }
  void TearDown() override {
    run("(ip netns del " + router + "; ip netns del " + server + ") 2>/dev/null");
  }

  static int run(const std::string& command) { return system(command.c_str()); }
  bool addPackage(const std::string& name, const std::string& content) {
    return writeFile(
        scratch.file(name + ".qpk"),
        qpktest::buildQpk(qpktest::pkgInfo(name),
                          {qpktest::dir("opt"), qpktest::file("opt/" + name, content)}));
  }
  // Incompressible, so that the package crosses the link at its full size.
  static std::string noise(size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  }
  // debugfs's answer to `request` on the installed root partition, read on the host.
  std::string debugfs(const std::string& request) {
    return hostCommandOutput("debugfs -R '" + request + "' " + disk->device() + "p1 2>/dev/null");
  }

  // Starts the server in its namespace with `options` and the packages (not in install order);
  // then boots the router's installer as init of a PID namespace in the other, its console a
  // silent pipe. With `killAt`, the server is killed once it has said that line, and the console
  // is hung up, so that the failure's key prompt ends too. Returns the server's exit status.
  int installOnce(const std::string& options,
                  const std::vector<std::string>& packages = {"p2", "p1"},
                  const std::string& killAt = "") {
    std::string command = "exec ip netns exec " + server + " " + kServer + " " + options;
    for (const std::string& name : packages) command += " " + scratch.file(name + ".qpk");
    command += " </dev/null >" + scratch.file("server.out") + " 2>&1";
    pid_t serverPid = fork();
    if (serverPid == 0) _exit(execl("/bin/sh", "sh", "-c", command.c_str(), nullptr));
    std::atomic<bool> done{false};
    std::thread killer([&] {
      while (!killAt.empty() && !done) {
        if (readFile(scratch.file("server.out")).find(killAt) != std::string::npos) {
          kill(serverPid, SIGKILL);
          killedAt = std::chrono::steady_clock::now();
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    int netns = open(("/run/netns/" + router).c_str(), O_RDONLY | O_CLOEXEC);
    int console[2];
    EXPECT_EQ(pipe(console), 0);
    if (!killAt.empty()) close(std::exchange(console[1], -1));
    ChildRun client = runInStagedRoot(
        stage,
        [&] {
          if (setns(netns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWPID) != 0) return 1;
          dup2(console[0], 0);
          pid_t init = fork();
          if (init == 0) _exit(execl("/sbin/init", "/sbin/init", nullptr));
          return waitpid(init, nullptr, 0) == init ? 0 : 1;
        },
        60);
    routerEndedAt = std::chrono::steady_clock::now();
    done = true;
    killer.join();
    int status = -1;
    waitpid(serverPid, &status, 0);
    for (int fd : {console[0], console[1], netns}) close(fd);
    routerOut = client.out + client.err;
    serverOut = readFile(scratch.file("server.out"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string router, server;
  ScratchDir scratch;
  StagedRoot stage{scratch.file("root")};
  std::unique_ptr<LoopDisk> disk;
  std::string routerOut, serverOut;
  std::chrono::steady_clock::time_point killedAt, routerEndedAt;
  // The server's last line, or all it said when there is no such line.
  std::string finalLine() const { return serverOut.substr(serverOut.rfind("\nrouter ") + 1); }
};

TEST_F(NetInstall, serverInstallsPackagesAndScriptOfItsSettingsThenKeepsTheStoredConfig) {
  EXPECT_EQ(installOnce("--address 10.1.2.3/24 --gateway 10.1.2.1 --baud 9600 --timeout 60"), 0)
      << serverOut << routerOut;
  EXPECT_EQ(finalLine(), kInstalled);
  // The catalogue's order, whatever the command line's.
  EXPECT_LT(serverOut.find("Transfering: p1"), serverOut.find("Transfering: p2")) << serverOut;
  EXPECT_EQ(debugfs("cat /opt/p1") + debugfs("cat /opt/p2"), "p1\np2\n") << routerOut;
  EXPECT_EQ(debugfs("cat /autorun.scr"),
            buildConfigScript({{2, 0, 0, 0, 0, 1}}, {inet_addr("10.1.2.3")}, 24,
                              {inet_addr("10.1.2.1")}, 9600));
  EXPECT_NE(debugfs("ls -p /").find("/CDINSTALL/"), std::string::npos);

  // Once more on that disk, keeping the configuration the router has stored since.
  std::string hosts = scratch.file("hosts");
  ASSERT_EQ(
      run("echo 127.0.0.1 >" + hosts + " && printf 'mkdir /vela/store\\ncd /vela/store\\nwrite " +
          hosts + " hosts\\n' | debugfs -w -f - " + disk->device() + "p1 >/dev/null 2>&1"),
      0);
  EXPECT_EQ(installOnce("--keep-config --timeout 60"), 0) << serverOut << routerOut;
  EXPECT_EQ(finalLine(), kInstalled);
  EXPECT_EQ(debugfs("cat /vela/store/hosts"), "127.0.0.1\n") << routerOut;
  EXPECT_EQ(debugfs("cat /opt/p2"), "p2\n");
  EXPECT_EQ(debugfs("cat /autorun.scr"), "");  // no script comes: the kept one is the router's
}

// A lost frame costs a resend after a short wait; nothing is lost or doubled on the disk.
TEST_F(NetInstall, lossyLinkStillInstallsEveryByte) {
  ASSERT_EQ(run("ip -n " + router + " link del tvxr"), 0);
  LossySwitch link({router, "tvxr", "02:00:00:00:00:01"}, {server, "tvxs", "02:00:00:00:00:02"}, 10,
                   1);
  ASSERT_TRUE(link.running());
  ASSERT_TRUE(addPackage("big", noise(256 << 10)));
  EXPECT_EQ(installOnce("--address 10.1.2.3/24 --timeout 60", {"p2", "big", "p1"}), 0)
      << serverOut << routerOut;
  EXPECT_EQ(finalLine(), kInstalled);
  EXPECT_EQ(debugfs("cat /opt/p1") + debugfs("cat /opt/p2"), "p1\np2\n") << routerOut;
  EXPECT_TRUE(debugfs("cat /opt/big") == noise(256 << 10));
  EXPECT_EQ(debugfs("cat /autorun.scr"),
            buildConfigScript({{2, 0, 0, 0, 0, 1}}, {inet_addr("10.1.2.3")}, 24, {}, 0));
}

// The router gives up on a file after 30 s without its next piece, and says nothing of success.
TEST_F(NetInstall, serverGoneMidFileEndsTheRouterInABadConnection) {
  ASSERT_TRUE(addPackage("big", noise(8 << 20)));
  installOnce("--keep-config --timeout 60", {"p1", "big"}, "Transfering: big");
  ASSERT_NE(killedAt, std::chrono::steady_clock::time_point()) << serverOut;
  auto waited = std::chrono::duration_cast<std::chrono::seconds>(routerEndedAt - killedAt);
  EXPECT_GE(waited.count(), 29);
  EXPECT_LE(waited.count(), 40);
  EXPECT_NE(routerOut.find("\nFATAL ERROR: bad network connection"), std::string::npos)
      << routerOut;
  EXPECT_EQ(routerOut.find("Software installed."), std::string::npos) << routerOut;
}

}  // namespace
