// The network installation end to end over real sockets (root): the static installer as init
// of a staged root with a loop disk, booted as the network medium in one network namespace,
// and netinstall-server in another, joined by a veth pair without IPv4 addresses. What the
// router's disk holds afterwards and what the server says are checked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "flows/config_script.h"
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
    for (std::string name : {"p1", "p2"}) {
      ASSERT_TRUE(writeFile(
          scratch.file(name + ".qpk"),
          qpktest::buildQpk(qpktest::pkgInfo(name),
                            {qpktest::dir("opt"), qpktest::file("opt/" + name, name + "\n")})));
    }
  }
  void TearDown() override {
    run("(ip netns del " + router + "; ip netns del " + server + ") 2>/dev/null");
  }

  static int run(const std::string& command) { return system(command.c_str()); }
  // debugfs's answer to `request` on the installed root partition, read on the host.
  std::string debugfs(const std::string& request) {
    return hostCommandOutput("debugfs -R '" + request + "' " + disk->device() + "p1 2>/dev/null");
  }

  // Starts the server in its namespace with `options` and the packages (not in install order);
  // then boots the router's installer as init of a PID namespace in the other, its console a
  // silent pipe. Returns the server's exit status.
  int installOnce(const std::string& options) {
    std::string command = "exec ip netns exec " + server + " " + kServer + " " + options + " " +
                          scratch.file("p2.qpk") + " " + scratch.file("p1.qpk") + " </dev/null >" +
                          scratch.file("server.out") + " 2>&1";
    pid_t serverPid = fork();
    if (serverPid == 0) _exit(execl("/bin/sh", "sh", "-c", command.c_str(), nullptr));
    int netns = open(("/run/netns/" + router).c_str(), O_RDONLY | O_CLOEXEC);
    int console[2];
    EXPECT_EQ(pipe(console), 0);
    ChildRun client = runInStagedRoot(stage, [&] {
      if (setns(netns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWPID) != 0) return 1;
      dup2(console[0], 0);
      pid_t init = fork();
      if (init == 0) _exit(execl("/sbin/init", "/sbin/init", nullptr));
      return waitpid(init, nullptr, 0) == init ? 0 : 1;
    });
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

}  // namespace
