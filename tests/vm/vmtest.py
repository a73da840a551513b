# Shared fixture of the VM tests: where the build's programs are, building a medium with
# mkmedia into the test's own work directory, booting it, and the operator's usual answers.
# A test module ends with `vmtest.main()`: exit 77 (CTest skip) when every test was skipped.
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmlib  # noqa: E402

SOURCE_DIR = os.environ.get("TRENAVOX_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY_DIR = os.environ.get("TRENAVOX_BINARY_DIR", os.path.join(SOURCE_DIR, "build"))
MKMEDIA = os.path.join(SOURCE_DIR, "tools", "mkmedia", "mkmedia")
SKIP_EXIT = 77


def program(env_name, fallback):
    return os.environ.get(env_name) or os.path.join(BINARY_DIR, fallback)


INSTALLER = program("TRENAVOX_INSTALLER", "src/program/trenavox-installer")
QPK = program("TRENAVOX_QPK", "tools/qpk/qpk")
MKFLOPPYSET = program("TRENAVOX_MKFLOPPYSET", "tools/mkfloppyset/mkfloppyset")
SFDISK_COMPAT = program("TRENAVOX_SFDISK_COMPAT", "tools/sfdisk-compat/sfdisk")


class VmTestCase(unittest.TestCase):
    """One VM run per test, in BINARY_DIR/tests/vm/work/<test name>/."""

    vm = None

    def setUp(self):
        reason = vmlib.skip_reason()
        if reason:
            self.skipTest(reason)
        if not os.path.isfile(INSTALLER):
            self.fail("no installer at %s: build target trenavox-installer" % INSTALLER)
        self.workdir = os.path.join(BINARY_DIR, "tests", "vm", "work", self.id().split(".")[-1])
        if os.path.exists(self.workdir):
            shutil.rmtree(self.workdir)
        os.makedirs(self.workdir)

    def tearDown(self):
        if self.vm:
            self.vm.stop()
            print("logs: %s" % self.workdir, file=sys.stderr)

    def make_medium(self, kind, *options):
        out = os.path.join(self.workdir, "medium")
        command = [sys.executable, MKMEDIA, "--kind", kind, "-o", out, "--installer", INSTALLER,
                   "--sfdisk-compat", SFDISK_COMPAT] + list(options)
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            self.fail("mkmedia failed: " + result.stderr)
        return out

    def boot(self, medium, floppy=None, disk_mib=64):
        """Starts a VM with a blank disk (self.disk) and makes it self.vm."""
        self.disk = vmlib.blank_disk(os.path.join(self.workdir, "disk.img"), disk_mib)
        self.vm = vmlib.Vm(self.workdir, "vm", os.path.join(medium, "initramfs.cpio.gz"),
                           disk=self.disk, floppy=floppy)
        self.vm.start()
        return self.vm

    def answer(self, question, key):
        """Waits for a yes/no question and presses the key."""
        self.vm.expect(question)
        self.vm.expect("[y/n]", 10)
        self.vm.send(key)

    def check_packages_installed(self, disk):
        """Reads partition 1 of the disk and checks that the sample packages' files are there
        with their contents and modes, and nothing else but what the installer writes.
        Returns the extracted root."""
        import samples
        table = vmlib.partitions(disk)
        self.assertGreaterEqual(len(table), 1, table)
        offset = table[0]["start"] * vmlib.SECTOR
        self.assertTrue(vmlib.cleanly_unmounted(disk, offset))
        root = os.path.join(self.workdir, "installed")
        self.assertTrue(vmlib.extract_tree(disk, offset, root))
        found = vmlib.tree_listing(root)
        expected = samples.expected_files()
        for path, entry in sorted(expected.items()):
            self.assertIn(path, found, "%s is missing on the disk" % path)
            if entry[0] == "f":
                self.assertEqual("f", found[path][0], path)
                self.assertEqual(entry[1], found[path][1], "%s differs" % path)
                self.assertEqual(entry[2], found[path][2], "mode of %s" % path)
            else:
                self.assertEqual(entry, found[path], path)
        extra = [p for p, e in found.items()
                 if p not in expected and e[0] != "d" and not samples.INSTALLER_FILES.match(p)]
        self.assertEqual([], sorted(extra))
        # Each package's record lists exactly its own entries.
        pdb = os.path.join(root, "var", "pdb")
        self.assertEqual(sorted(samples.SAMPLE_PACKAGES), sorted(os.listdir(pdb)))
        for name in samples.SAMPLE_PACKAGES:
            own = samples.expected_files([name])
            wanted = sorted(p[1:] + "/" if e[0] == "d" else p[1:] for p, e in own.items())
            with open(os.path.join(pdb, name, "files")) as f:
                self.assertEqual(wanted, sorted(f.read().split()), "record of %s" % name)
        return root

    def expect_reboot(self, announced=True):
        """The installer's "Rebooting..." (not on the abort path) and QEMU's end: with
        -no-reboot a guest restart ends QEMU."""
        if announced:
            self.vm.expect("Rebooting...", 30)
        self.vm.wait_exit(60)
        with open(self.vm.console_log_path, "rb") as f:
            console = f.read()
        self.assertNotIn(b"Kernel panic", console)


def main():
    result = unittest.main(exit=False, verbosity=2).result
    if result.wasSuccessful() and result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIP_EXIT)
    sys.exit(0 if result.wasSuccessful() else 1)
