# Shared fixture of the VM tests: where the build's programs are, building a medium with
# mkmedia into the test's own work directory, booting it, the operator's usual answers and the
# installed sample disk read back.
# A test module ends with `vmtest.main()`: exit 77 (CTest skip) when every test was skipped.
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

import samples
import vmlib
from samples import SOURCE_DIR

BINARY_DIR = os.environ.get("TRENAVOX_BINARY_DIR", os.path.join(SOURCE_DIR, "build"))
MKMEDIA = os.path.join(SOURCE_DIR, "tools", "mkmedia", "mkmedia")


INSTALLER, QPK, MKFLOPPYSET, SFDISK_COMPAT = (
    os.environ.get("TRENAVOX_" + name) or os.path.join(BINARY_DIR, fallback) for name, fallback in
    (("INSTALLER", "src/program/trenavox-installer"), ("QPK", "tools/qpk/qpk"),
     ("MKFLOPPYSET", "tools/mkfloppyset/mkfloppyset"),
     ("SFDISK_COMPAT", "tools/sfdisk-compat/sfdisk")))


class VmTestCase(unittest.TestCase):
    """One VM run per test, in BINARY_DIR/tests/vm/work/<test name>/."""

    vm = None

    def setUp(self):
        reason = vmlib.skip_reason()
        if reason:
            self.skipTest(reason)
        self.workdir = os.path.join(BINARY_DIR, "tests", "vm", "work", self.id().split(".")[-1])
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)

    def tearDown(self):
        if self.vm:
            self.vm.stop()

    def make_medium(self, kind, *options):
        out = os.path.join(self.workdir, "medium")
        result = subprocess.run([sys.executable, MKMEDIA, "--kind", kind, "-o", out,
                                 "--installer", INSTALLER, "--sfdisk-compat", SFDISK_COMPAT] +
                                list(options), capture_output=True, text=True)
        self.assertEqual(0, result.returncode, "mkmedia failed: " + result.stderr)
        return out

    def boot(self, medium, floppy=None, tap=None):
        """Starts a VM with a blank 64 MiB disk (self.disk) and makes it self.vm."""
        self.disk = vmlib.blank_disk(os.path.join(self.workdir, "disk.img"), 64)
        self.vm = vmlib.Vm(self.workdir, "vm", os.path.join(medium, "initramfs.cpio.gz"),
                           disk=self.disk, floppy=floppy, tap=tap)
        self.vm.start()
        return self.vm

    def answer(self, question, key):
        """Waits for a yes/no question and presses the key."""
        self.vm.expect(question)
        self.vm.expect("[y/n]", 10)
        self.vm.send(key)

    def expect_reboot(self, announced=True):
        """The installer's "Rebooting..." (not on the abort path) and QEMU's end: with
        -no-reboot a guest restart ends QEMU."""
        if announced:
            self.vm.expect("Rebooting...", 30)
        self.vm.wait_exit(60)
        with open(self.vm.console_log_path, "rb") as f:
            self.assertNotIn(b"Kernel panic", f.read())

    def check_installed_disk(self, extra=()):
        """The installed disk read from the host: one clean ext3 partition holding the sample
        packages, their records and the post-install step's files, plus only the extra paths.
        Returns the directory the tree was copied to."""
        with open(self.disk, "rb") as f:
            self.assertNotEqual(bytes(446), f.read(446), "no master boot code in sector 0")
        table = vmlib.partitions(self.disk)
        self.assertEqual([0x83], [p["type"] for p in table])
        offset = table[0]["start"] * vmlib.SECTOR
        # A 64 MiB disk is over 40 MiB: journaled root, ext3.
        self.assertEqual("ext3", vmlib.file_system_kind(self.disk, offset))
        self.assertTrue(vmlib.cleanly_unmounted(self.disk, offset))
        root = os.path.join(self.workdir, "installed")
        self.assertTrue(vmlib.extract_tree(self.disk, offset, root))
        # The packages' files with their contents and modes, and nothing else but what the
        # installer and the post-install step write.
        found, expected = vmlib.tree_listing(root), samples.expected_files()
        self.assertEqual([], sorted(p for p, e in expected.items() if found.get(p) != e))
        self.assertEqual([], sorted(p for p, e in found.items() if p not in expected and
                                    e[0] != "d" and not samples.INSTALLER_FILES.match(p) and
                                    p not in extra))
        # Each package's record lists exactly its own entries.
        pdb = os.path.join(root, "var", "pdb")
        self.assertEqual(sorted(samples.SAMPLE_PACKAGES), sorted(os.listdir(pdb)))
        for name in samples.SAMPLE_PACKAGES:
            own = samples.expected_files([name])
            with open(os.path.join(pdb, name, "files")) as f:
                self.assertEqual(sorted(p[1:] + "/" * (e[0] == "d") for p, e in own.items()),
                                 sorted(f.read().split()), "record of " + name)

        def read(path):
            return pathlib.Path(root, path).read_text()
        self.assertIn("/dev/hda1", read("etc/lilo.conf"))
        self.assertRegex(read("etc/fstab"), r"/dev/hda1\s+/\s+ext3")
        self.assertEqual("post-install done\n", read("var/log/postinstall.log"))
        return root


def main():
    result = unittest.main(exit=False, verbosity=2).result
    if result.wasSuccessful() and result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
