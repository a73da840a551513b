# mkmedia without a VM: the initramfs it writes (entries, owners, the pre-init, module order)
# and reproducibility, the same inputs giving the same bytes for every kind of medium.
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

    KINDS = {
        "floppy": ("floppy", ["--floppy-part", "@package"]),
        "serial": ("floppy", ["--serial-only"]),
        "cdrom": ("cdrom", ["--packages", "@package"]),
        "hdd": ("hdd", ["--packages", "@package", "--autorun", "@package", "--mbr", "@package",
                        "--choose", "@package"]),
        "net": ("net", ["--label", "router-1"]),
    }

    @classmethod
    def setUpClass(cls):
        missing = [path for path in (BUSYBOX, MODULES) if not os.path.exists(path)] + [
            tool for tool in ("mkfs.vfat", "mcopy", "mdir", "xorriso") if not shutil.which(tool)]
        if missing:
            raise unittest.SkipTest("missing: " + " ".join(missing))
        cls.temp = tempfile.mkdtemp(prefix="mkmedia-test-")
        cls.addClassCleanup(shutil.rmtree, cls.temp, ignore_errors=True)
        cls.installer = BUSYBOX  # any static program stands in for the installer here
        cls.package = os.path.join(cls.temp, "sample.qpk")
        pathlib.Path(cls.package).write_bytes(b"not really a package, but bytes to carry" * 100)
        cls.media = {name: cls.mkmedia(name, *options) for name, options in cls.KINDS.items()}

    @classmethod
    def mkmedia(cls, out, kind, options):
        options = [cls.package if o == "@package" else o for o in options]
        out = os.path.join(cls.temp, out)
        result = subprocess.run([sys.executable, vmtest.MKMEDIA, "--kind", kind, "-o", out,
                                 "--installer", cls.installer,
                                 "--sfdisk-compat", vmtest.SFDISK_COMPAT] + options,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError("mkmedia failed: " + result.stderr)
        return out

    def initramfs(self, name):
        path = pathlib.Path(self.media[name], "initramfs.cpio.gz")
        return read_newc(gzip.decompress(path.read_bytes()))

    def test_same_inputs_give_the_same_bytes_for_every_kind(self):
        def files(directory):
            return {n: pathlib.Path(directory, n).read_bytes() for n in os.listdir(directory)}

        for name, (kind, options) in self.KINDS.items():
            with self.subTest(kind=name):
                first = files(self.media[name])
                self.assertGreaterEqual(len(first), 2, sorted(first))
                again = files(self.mkmedia(name + "-again", kind, options))
                self.assertTrue(first == again, "%s differs" % name)

    def test_every_kind_runs_the_installer_as_init_with_its_type(self):
        installer = pathlib.Path(self.installer).read_bytes()
        for kind, type_text, args in (("floppy", "floppy", ""), ("serial", "floppy", ""),
                                      ("cdrom", "cdrom", ""), ("net", "net", ""),
                                      ("hdd", "hdd", "-hdd-install")):
            with self.subTest(kind=kind):
                entries, order = self.initramfs(kind)
                self.assertEqual(sorted(order), order)
                for name, (_mode, uid, gid, mtime, *_rest) in entries.items():
                    self.assertEqual((0, 0, 0), (uid, gid, mtime), name)
                init, console = entries["sbin/init"], entries["dev/console"]
                self.assertEqual((0o100755, installer), (init[0], init[6]))
                self.assertEqual((0o020600, 5, 1), (console[0], console[4], console[5]))
                self.assertNotIn("bin/init", entries)
                pre_init = entries["init"][6].decode()
                self.assertTrue(pre_init.startswith("#!/bin/sh\n"))
                self.assertIn('echo "%s" >/TYPE' % type_text, pre_init)
                self.assertIn("exec setsid -c /sbin/init %s <>" % args, pre_init)
                # Only the serial-only medium removes the text consoles.
                no_consoles = 'if [ "1" = 1 ]; then\n  rm -f /dev/tty0 /dev/tty[0-9]*'
                self.assertEqual(kind == "serial", no_consoles in pre_init)

    def test_tools_and_modules_load_after_everything_they_depend_on(self):
        entries, _ = self.initramfs("cdrom")
        self.assertEqual("busybox", entries["bin/sh"][6].decode())
        # The medium's sfdisk is the built program, the modern tool beside it with its libraries.
        self.assertEqual(pathlib.Path(vmtest.SFDISK_COMPAT).read_bytes(), entries["sbin/sfdisk"][6])
        self.assertTrue(entries["sbin/sfdisk.real"][6].startswith(b"\x7fELF"))
        self.assertTrue(entries["sbin/mke2fs"][6].startswith(b"\x7fELF"))
        self.assertTrue(any(n.startswith("lib") and "ld-linux" in n for n in entries))
        pre_init = entries["init"][6].decode()
        line = [l for l in pre_init.splitlines() if l.startswith("for module in ")][0]
        order = line[len("for module in "):-len("; do")].split()
        names = [os.path.basename(m).split(".ko")[0].replace("-", "_") for m in order]
        for earlier, later in (("scsi_mod", "sd_mod"), ("libata", "ata_piix"),
                               ("jbd2", "ext4"), ("crc32c_generic", "ext4"), ("fat", "vfat"),
                               ("cdrom", "sr_mod"), ("cdrom", "isofs")):
            self.assertLess(names.index(earlier), names.index(later), (earlier, later))
        for module in order:
            self.assertIn("lib/modules/6.1.0-57-amd64/" + module, entries)

    def test_hdd_image_holds_packages_and_control_files_under_their_names(self):
        listing = subprocess.run(["mdir", "-b", "-i", os.path.join(self.media["hdd"], "image.img"),
                                  "::/"], capture_output=True, text=True,
                                 env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
        names = sorted(os.path.basename(line.strip()) for line in listing.splitlines())
        self.assertEqual(["CHOOSE", "autorun.scr", "mbr", "sample.qpk"], names)

    def test_missing_module_tree_is_refused(self):
        with self.assertRaisesRegex(AssertionError, "no module tree"):
            self.mkmedia("x", "floppy", ["--modules-dir", os.path.join(self.temp, "none")])


if __name__ == "__main__":
    vmtest.main()
