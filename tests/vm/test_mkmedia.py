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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmtest  # noqa: E402

MODULES = "/lib/modules/6.1.0-57-amd64"
BUSYBOX = "/bin/busybox"


def read_newc(data):
    """name -> (mode, uid, gid, mtime, rdev major, rdev minor, data) of a cpio newc archive,
    and the names in archive order."""
    entries, order, pos = {}, [], 0
    while True:
        header = data[pos:pos + 110]
        assert header[:6] == b"070701", "bad cpio magic at %d" % pos
        fields = [int(header[6 + 8 * i:14 + 8 * i], 16) for i in range(13)]
        _, mode, uid, gid, _, mtime, size, _, _, rmajor, rminor, namesize, _ = fields
        name = data[pos + 110:pos + 110 + namesize - 1].decode()
        pos = (pos + 110 + namesize + 3) & ~3
        body = data[pos:pos + size]
        pos = (pos + size + 3) & ~3
        if name == "TRAILER!!!":
            return entries, order
        entries[name] = (mode, uid, gid, mtime, rmajor, rminor, body)
        order.append(name)


class MkmediaTest(unittest.TestCase):
    """The media are built once for the class: each build takes about a second."""

    # name: (kind, options, type written by the pre-init, arguments of init)
    KINDS = {
        "floppy": ("floppy", ["--floppy-part", "@package"], "floppy", ""),
        "serial": ("floppy", ["--serial-only"], "floppy", ""),
        "cdrom": ("cdrom", ["--packages", "@package"], "cdrom", ""),
        "hdd": ("hdd", ["--packages", "@package", "--autorun", "@package"], "hdd", "-hdd-install"),
        "net": ("net", ["--label", "router-1"], "net", ""),
    }

    @classmethod
    def setUpClass(cls):
        missing = [path for path in (BUSYBOX, MODULES) if not os.path.exists(path)] + [
            tool for tool in ("mkfs.vfat", "mcopy", "xorriso") if not shutil.which(tool)]
        if missing:
            raise unittest.SkipTest("missing: " + " ".join(missing))
        cls.temp = tempfile.mkdtemp(prefix="mkmedia-test-")
        cls.addClassCleanup(shutil.rmtree, cls.temp, ignore_errors=True)
        cls.package = os.path.join(cls.temp, "sample.qpk")
        pathlib.Path(cls.package).write_bytes(b"not really a package, but bytes to carry" * 100)
        cls.media = {name: cls.mkmedia(name, kind, options)
                     for name, (kind, options, _, _) in cls.KINDS.items()}

    @classmethod
    def mkmedia(cls, out, kind, options):
        # Any static program stands in for the installer here.
        options = [cls.package if o == "@package" else o for o in options]
        out = os.path.join(cls.temp, out)
        result = subprocess.run([sys.executable, vmtest.MKMEDIA, "--kind", kind, "-o", out,
                                 "--installer", BUSYBOX,
                                 "--sfdisk-compat", vmtest.SFDISK_COMPAT] + options,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError("mkmedia failed: " + result.stderr)
        return out

    def initramfs(self, name):
        path = pathlib.Path(self.media[name], "initramfs.cpio.gz")
        return read_newc(gzip.decompress(path.read_bytes()))

    def test_every_kind_is_reproducible_and_runs_the_installer_as_init_with_its_type(self):
        installer = pathlib.Path(BUSYBOX).read_bytes()
        for name, (kind, options, type_text, args) in self.KINDS.items():
            with self.subTest(kind=name):
                first = {n: pathlib.Path(self.media[name], n).read_bytes()
                         for n in os.listdir(self.media[name])}
                again = self.mkmedia(name + "-again", kind, options)
                self.assertTrue(first == {n: pathlib.Path(again, n).read_bytes()
                                          for n in os.listdir(again)}, "%s differs" % name)
                entries, order = self.initramfs(name)
                self.assertEqual(sorted(order), order)
                for entry, (_mode, uid, gid, mtime, *_rest) in entries.items():
                    self.assertEqual((0, 0, 0), (uid, gid, mtime), entry)
                init, console = entries["sbin/init"], entries["dev/console"]
                self.assertEqual((0o100755, installer), (init[0], init[6]))
                self.assertEqual((0o020600, 5, 1), (console[0], console[4], console[5]))
                pre_init = entries["init"][6].decode()
                self.assertTrue(pre_init.startswith("#!/bin/sh\n"))
                self.assertIn('echo "%s" >/TYPE' % type_text, pre_init)
                self.assertIn("exec setsid -c /sbin/init %s <>" % args, pre_init)
                # Only the serial-only medium removes the text consoles.
                no_consoles = 'if [ "1" = 1 ]; then\n  rm -f /dev/tty0 /dev/tty[0-9]*'
                self.assertEqual(name == "serial", no_consoles in pre_init)


if __name__ == "__main__":
    vmtest.main()
