// The network installation end to end over real sockets (root): the static installer as init
// of a staged root with a loop disk, booted as the network medium in one network namespace,
// and netinstall-server in another, joined by a veth pair without IPv4 addresses. What the
// router's disk holds afterwards and what the server says are checked; then the router picked
// from the scan list on a terminal, three routers on one bridge installed at once, a lossy link,
// and a server killed mid-file.
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
#include "support/pty_harness.h"
#include "support/qpk_builder.h"
#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr const char* kCompatSfdisk = TRENAVOX_BINARY_DIR "/tools/sfdisk-compat/sfdisk";
constexpr const char* kInstaller = TRENAVOX_BINARY_DIR "/src/program/trenavox-installer";
constexpr const char* kServer = TRENAVOX_BINARY_DIR "/tools/netinstall-server/netinstall-server";
const std::string kInstalled = "router 02:00:00:00:00:01: installed\n";

// A router beside the fixture's own: its namespace, its staged root and its disk.
struct Client {
  std::string ns;
  std::unique_ptr<StagedRoot> stage;
  std::unique_ptr<LoopDisk> disk;
};

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
    // The server's side is up, as a host's card would be: the server uses what is up.
    ASSERT_EQ(run("ip link add name tvxr address 02:00:00:00:00:01 netns " + router +
                  " type veth peer name tvxs address 02:00:00:00:00:02 netns " + server +
                  " && ip -n " + server + " link set tvxs up"),
              0);
    ASSERT_TRUE(stageClient(stage, disk));
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
  // The installer as init of the network medium in `root`, its hard drive a new loop disk.
  bool stageClient(StagedRoot& root, std::unique_ptr<LoopDisk>& drive) {
    drive = std::make_unique<LoopDisk>(root.path() + ".img", 64ull << 20);
    bool staged = !drive->device().empty() && root.addCompatSfdisk(kCompatSfdisk) &&
                  root.addProgram(hostProgram("mke2fs"), "/sbin/mke2fs") &&
                  root.addFile("/etc/mke2fs.conf", readFile("/etc/mke2fs.conf")) &&
                  root.addProgram(kInstaller, "/sbin/init") && root.addFile("/TYPE", "net\n") &&
                  root.addFile("/dev/tty0", "") && root.addDirectory("/mnt") &&
                  root.addFile("/etc/sfdisk-compat.conf", "SFDISK_COMPAT_DEVICES=/dev/hda\n");
    for (const char* part : {"", "1", "2"}) {
      staged = staged && root.addSymlink(std::string("/dev/hda") + part,
                                         "host/" + drive->name() + (*part ? "p" : "") + part);
    }
    return staged;
  }
  // Boots the installer of `root` as init of a PID namespace in the network namespace `ns`,
  // its console a silent pipe, or one already hung up with `hangUp`.
  static ChildRun boot(const std::string& ns, const StagedRoot& root, bool hangUp = false) {
    int netns = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int console[2];
    EXPECT_EQ(pipe(console), 0);
    if (hangUp) close(std::exchange(console[1], -1));
    ChildRun client = runInStagedRoot(root, [&] {
      if (setns(netns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWPID) != 0) return 1;
      dup2(console[0], 0);
      pid_t init = fork();
      if (init == 0) _exit(execl("/sbin/init", "/sbin/init", nullptr));
      return waitpid(init, nullptr, 0) == init ? 0 : 1;
    });
    for (int fd : {console[0], console[1], netns}) close(fd);
    return client;
  }
  // debugfs's answer to `request` on the installed root partition, read on the host.
  std::string debugfs(const std::string& request, const LoopDisk* drive = nullptr) {
    return hostCommandOutput("debugfs -R '" + request + "' " +
                             (drive ? drive : disk.get())->device() + "p1 2>/dev/null");
  }

  // Starts the server in its namespace with `options` and the `packages` (not in install order);
  // then boots the fixture's router and the `others` at once. With `killAt`, the server is killed
  // once it has said that line, and the router's console is hung up, so that the failure's key
  // prompt ends too. Returns the server's exit status.
  int installOnce(const std::string& options,
                  const std::vector<std::string>& packages = {"p2", "p1"},
                  const std::string& killAt = "", const std::vector<Client>& others = {}) {
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
    std::vector<pid_t> clients;
    for (const Client& other : others) {
      clients.push_back(fork());
      if (clients.back() == 0) _exit(boot(other.ns, *other.stage).status == 0 ? 0 : 1);
    }
    ChildRun client = boot(router, stage, !killAt.empty());
    routerEndedAt = std::chrono::steady_clock::now();
    done = true;
    killer.join();
    for (pid_t pid : clients) waitpid(pid, nullptr, 0);
    int status = -1;
    waitpid(serverPid, &status, 0);
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

// On a terminal the operator picks the router from the scan list and gives the final key.
TEST_F(NetInstall, operatorPicksTheRouterFromTheScanListOnATerminal) {
  ChildRun client;
  std::thread routerBoot([&] { client = boot(router, stage); });
  int netns = open(("/run/netns/" + server).c_str(), O_RDONLY | O_CLOEXEC);
  std::string p1 = scratch.file("p1.qpk"), p2 = scratch.file("p2.qpk");
  PtyResult run = runOnPty(
      [&] {
        if (setns(netns, CLONE_NEWNET) != 0) return 99;
        execl(kServer, kServer, "--keep-config", p1.c_str(), p2.c_str(), nullptr);
        return 98;
      },
      {{{" 02:00:00:00:00:01 (trenavox)", "\n"}, {"Press ENTER to reboot", "\n"}}});
  routerBoot.join();
  close(netns);
  EXPECT_EQ(run.exitCode, 0) << run.output << client.out;
  EXPECT_NE(run.output.find("Found 1 router"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(kInstalled), std::string::npos) << run.output;
  EXPECT_EQ(debugfs("cat /opt/p1") + debugfs("cat /opt/p2"), "p1\np2\n") << client.out;
}

TEST_F(NetInstall, serverInstallsThreeRoutersOnOneBridgeAtOnce) {
  std::vector<Client> others(2);
  std::string ports = "ip link set tvxs master br0";
  for (size_t i = 0; i < others.size(); ++i) {
    std::string n = std::to_string(i + 1);
    Client& other = others[i];
    other.ns = router + "-" + n;
    other.stage = std::make_unique<StagedRoot>(scratch.file("root" + n));
    ASSERT_TRUE(stageClient(*other.stage, other.disk));
    ASSERT_EQ(run("ip netns add " + other.ns + " && ip netns exec " + other.ns +
                  " sh -c 'echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6' && " +
                  "ip link add name tvxr address 02:00:00:00:01:0" + n + " netns " + other.ns +
                  " type veth peer name tvxs" + n + " netns " + server),
              0);
    ports += " && ip link set tvxs" + n + " master br0 up";
  }
  ASSERT_EQ(run("ip netns exec " + server + " sh -c 'ip link add br0 type bridge forward_delay 0 " +
                "&& " + ports + " && ip link set tvxs up'"),
            0);
  int status = installOnce("--interface br0 --all --routers 3 --address 10.1.2.3/24", {"p2", "p1"},
                           "", others);
  for (const Client& other : others) run("ip netns del " + other.ns + " 2>/dev/null");
  EXPECT_EQ(status, 0) << serverOut << routerOut;
  for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:01:01", "02:00:00:00:01:02"}) {
    EXPECT_NE(serverOut.find(std::string("router ") + mac + ": installed\n"), std::string::npos)
        << serverOut;
  }
  for (const LoopDisk* drive : {disk.get(), others[0].disk.get(), others[1].disk.get()}) {
    EXPECT_EQ(debugfs("cat /opt/p1", drive) + debugfs("cat /opt/p2", drive), "p1\np2\n");
    EXPECT_NE(debugfs("cat /autorun.scr", drive), "");
  }
}

// A lost frame costs a resend after a short wait; nothing is lost or doubled on the disk.
TEST_F(NetInstall, lossyLinkStillInstallsEveryByte) {
  ASSERT_EQ(run("ip -n " + router + " link del tvxr"), 0);
  LossySwitch link({router, "tvxr", "02:00:00:00:00:01"}, {server, "tvxs", "02:00:00:00:00:02"}, 10,
                   1);
  ASSERT_TRUE(link.running());
  ASSERT_TRUE(addPackage("big", noise(256 << 10)));
  EXPECT_EQ(installOnce("--interface tvxs --address 10.1.2.3/24 --timeout 60", {"p2", "big", "p1"}),
            0)
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
