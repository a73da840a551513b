# Shared fixture of the VM tests: where the build's programs are, building a medium with
# mkmedia into the test's own work directory, booting it, and the operator's usual answers.
# A test module ends with `vmtest.main()`: exit 77 (CTest skip) when every test was skipped.
import os
import shutil
import subprocess
import sys
import unittest

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

    def boot(self, medium, floppy=None):
        """Starts a VM with a blank 64 MiB disk (self.disk) and makes it self.vm."""
        self.disk = vmlib.blank_disk(os.path.join(self.workdir, "disk.img"), 64)
        self.vm = vmlib.Vm(self.workdir, "vm", os.path.join(medium, "initramfs.cpio.gz"),
                           disk=self.disk, floppy=floppy)
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


def main():
    result = unittest.main(exit=False, verbosity=2).result
    if result.wasSuccessful() and result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
