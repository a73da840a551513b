# A network installation end to end: the net medium boots in QEMU with its e1000 card on a TAP
# device of a network namespace of its own, netinstall-server in that namespace sends it the
# sample packages and a first-start script, and the installed disk is read back from the host.
import os
import shutil
import subprocess

import samples
import vmlib
import vmtest

SERVER = os.environ.get("TRENAVOX_NETINSTALL_SERVER", "")
TAP = "tvmtap0"


class NetInstallTest(vmtest.VmTestCase):
    def setUp(self):
        if not SERVER:
            self.skipTest("TRENAVOX_NETINSTALL_SERVER is not set")
        if os.geteuid() != 0 or not shutil.which("ip"):
            self.skipTest("a network namespace needs root and ip")
        super().setUp()
        self.server = None
        # Nothing of the host's own network is involved: a fresh namespace, no IPv4 address on
        # the TAP and no IPv6, so the only traffic on the link is the installation's.
        self.netns = "tvm-net-%d" % os.getpid()
        self.addCleanup(subprocess.run, ["ip", "netns", "del", self.netns], capture_output=True)
        for command in (["ip", "netns", "add", self.netns],
                        ["sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                         "net.ipv6.conf.default.disable_ipv6=1"],
                        ["ip", "tuntap", "add", "dev", TAP, "mode", "tap"],
                        ["ip", "link", "set", TAP, "up"]):
            prefix = ["ip", "netns", "exec", self.netns] * (command[1] != "netns")
            subprocess.run(prefix + command, check=True, capture_output=True)

    def tearDown(self):
        if self.server and self.server.poll() is None:
            self.server.kill()
            self.server.wait()
        super().tearDown()

    def test_server_installs_the_packages_and_settings_over_the_network(self):
        packages = samples.build_packages(vmtest.QPK, os.path.join(self.workdir, "packages"))
        medium = self.make_medium("net", "--log-serial")
        server_log = os.path.join(self.workdir, "server.log")
        with open(server_log, "wb") as log:
            # stdin is a pipe that never delivers a key: the server is not on a terminal.
            self.server = subprocess.Popen(
                ["ip", "netns", "exec", self.netns, SERVER, "--interface", TAP, "--router",
                 vmlib.GUEST_MAC, "--address", "10.1.2.3/24", "--gateway", "10.1.2.1", "--baud",
                 "9600", "--timeout", "120"] + packages,
                stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT)
        vm = self.boot(medium, tap=(self.netns, TAP))
        vm.expect("mac-address: " + vmlib.GUEST_MAC, 90)
        vm.expect("Found server at", 120)
        self.assertEqual(0, vm.expect(["Software installed.", "FATAL ERROR"], 300))
        # The server's end handshake lets the router go on to its reboot without a key.
        self.expect_reboot()
        self.assertEqual(0, self.server.wait(60), open(server_log).read())
        with open(server_log) as f:
            self.assertIn("router %s: installed" % vmlib.GUEST_MAC, f.read())

        root = self.check_installed_disk(extra=("/autorun.scr", "/CDINSTALL"))
        with open(os.path.join(root, "autorun.scr")) as f:
            script = f.read()
        for setting in ("mac-address=" + vmlib.GUEST_MAC, "address=10.1.2.3/24",
                        "gateway=10.1.2.1", "baud-rate=9600"):
            self.assertIn(setting, script)
        self.assertTrue(os.path.isfile(os.path.join(root, "CDINSTALL")))


if __name__ == "__main__":
    vmtest.main()
