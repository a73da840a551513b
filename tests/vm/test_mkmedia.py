# mkmedia without a VM: the initramfs it writes (the installer as init, owners, the pre-init)
# and reproducibility, the same inputs giving the same bytes. Whether a medium boots and finds
# its tools and modules is the VM tests' to show.
import gzip
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

import vmtest

BUSYBOX = "/bin/busybox"  # any static program stands in for the installer here


def read_newc(data):
    """name -> (mode, uid, gid, mtime, data) of a cpio newc archive, in archive order."""
    entries, pos = {}, 0
    while True:
        assert data[pos:pos + 6] == b"070701", "bad cpio magic at %d" % pos
        fields = [int(data[pos + 6 + 8 * i:pos + 14 + 8 * i], 16) for i in range(13)]
        name = data[pos + 110:pos + 109 + fields[11]].decode()
        pos = (pos + 110 + fields[11] + 3) & ~3
        if name == "TRAILER!!!":
            return entries
        entries[name] = tuple(fields[1:4]) + (fields[5], data[pos:pos + fields[6]])
        pos = (pos + fields[6] + 3) & ~3


class MkmediaTest(unittest.TestCase):
    # kind: (options, type written by the pre-init, arguments of init)
    KINDS = {
        "floppy": (["--floppy-part", "@package"], "floppy", ""),
        "cdrom": (["--packages", "@package"], "cdrom", ""),
        "hdd": (["--packages", "@package", "--autorun", "@package"], "hdd", "-hdd-install"),
        "net": (["--label", "router-1"], "net", ""),
    }

    def setUp(self):
        if not all(map(shutil.which, ("mkfs.vfat", "mcopy", "xorriso"))) or not os.path.isdir(
                "/lib/modules/6.1.0-57-amd64"):
            self.skipTest("missing tools or kernel modules")
        self.temp = tempfile.mkdtemp(prefix="mkmedia-test-")
        self.addCleanup(shutil.rmtree, self.temp, ignore_errors=True)
        self.package = pathlib.Path(self.temp, "sample.qpk")
        self.package.write_bytes(b"not really a package, but bytes to carry" * 100)

    def mkmedia(self, out, kind, options):
        out = os.path.join(self.temp, out)
        subprocess.run([sys.executable, vmtest.MKMEDIA, "--kind", kind, "-o", out, "--installer",
                        BUSYBOX, "--sfdisk-compat", vmtest.SFDISK_COMPAT] +
                       [str(self.package) if o == "@package" else o for o in options], check=True)
        return {n: pathlib.Path(out, n).read_bytes() for n in os.listdir(out)}

    def test_every_kind_is_reproducible_and_runs_the_installer_as_init_with_its_type(self):
        installer = pathlib.Path(BUSYBOX).read_bytes()
        for kind, (options, type_text, args) in self.KINDS.items():
            with self.subTest(kind=kind):
                medium = self.mkmedia(kind, kind, options)
                self.assertTrue(medium == self.mkmedia(kind + "-again", kind, options))
                entries = read_newc(gzip.decompress(medium["initramfs.cpio.gz"]))
                self.assertEqual(sorted(entries), list(entries))
                self.assertEqual([], [n for n, e in entries.items() if e[1:4] != (0, 0, 0)])
                self.assertEqual((0o100755, installer), (entries["sbin/init"][0],
                                                         entries["sbin/init"][4]))
                pre_init = entries["init"][4].decode()
                self.assertTrue(pre_init.startswith("#!/bin/sh\n"))
                self.assertIn('echo "%s" >/TYPE' % type_text, pre_init)
                self.assertIn("exec setsid -c /sbin/init %s <>" % args, pre_init)


if __name__ == "__main__":
    vmtest.main()
