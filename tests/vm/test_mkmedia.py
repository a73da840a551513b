# mkmedia without a VM: the initramfs it writes (entries, owners, the pre-init, module order)
# and reproducibility, the same inputs giving the same bytes for every kind of medium.
import gzip
import os
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
    entries = {}
    order = []
    pos = 0
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
        cls.temp = None
        for need in (BUSYBOX, MODULES):
            if not os.path.exists(need):
                raise unittest.SkipTest("%s is missing" % need)
        for tool in ("mkfs.vfat", "mcopy", "mdir", "xorriso"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest("%s is missing" % tool)
        cls.temp = tempfile.mkdtemp(prefix="mkmedia-test-")
        # Any static program stands in for the installer here.
        cls.installer = BUSYBOX
        cls.package = os.path.join(cls.temp, "sample.qpk")
        with open(cls.package, "wb") as f:
            f.write(b"not really a package, but bytes to carry" * 100)
        cls.media = {name: cls.mkmedia(name, *options) for name, options in cls.KINDS.items()}

    @classmethod
    def tearDownClass(cls):
        if cls.temp:
            shutil.rmtree(cls.temp, ignore_errors=True)

    @classmethod
    def mkmedia(cls, out, kind, options, installer=None):
        options = [cls.package if o == "@package" else o for o in options]
        out = os.path.join(cls.temp, out)
        command = [sys.executable, vmtest.MKMEDIA, "--kind", kind, "-o", out, "--installer",
                   installer or cls.installer, "--sfdisk-compat", vmtest.SFDISK_COMPAT] + options
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError("mkmedia failed: " + result.stderr)
        return out

    def initramfs(self, name):
        with open(os.path.join(self.media[name], "initramfs.cpio.gz"), "rb") as f:
            return read_newc(gzip.decompress(f.read()))

    def test_same_inputs_give_the_same_bytes_for_every_kind(self):
        for name, (kind, options) in self.KINDS.items():
            with self.subTest(kind=name):
                first = self.media[name]
                second = self.mkmedia(name + "-again", kind, options)
                names = sorted(os.listdir(first))
                self.assertEqual(names, sorted(os.listdir(second)))
                self.assertGreaterEqual(len(names), 2, names)
                for file_name in names:
                    with open(os.path.join(first, file_name), "rb") as a, \
                            open(os.path.join(second, file_name), "rb") as b:
                        self.assertTrue(a.read() == b.read(), "%s/%s differs" % (name, file_name))

    def test_entries_are_sorted_owned_by_root_and_timeless(self):
        entries, order = self.initramfs("floppy")
        self.assertEqual(sorted(order), order)
        for name, (mode, uid, gid, mtime, *_rest) in entries.items():
            self.assertEqual((0, 0, 0), (uid, gid, mtime), name)

    def test_installer_is_init_behind_a_pre_init_with_a_console_node(self):
        entries, _ = self.initramfs("floppy")
        with open(self.installer, "rb") as f:
            self.assertEqual(f.read(), entries["sbin/init"][6])
        self.assertEqual(0o100755, entries["sbin/init"][0])
        self.assertEqual((0o020600, 5, 1), (entries["dev/console"][0],) + entries["dev/console"][4:6])
        pre_init = entries["init"][6].decode()
        self.assertTrue(pre_init.startswith("#!/bin/sh\n"))
        self.assertIn("exec setsid -c /sbin/init  <>", pre_init)
        self.assertEqual("busybox", entries["bin/sh"][6].decode())
        self.assertNotIn("bin/init", entries)
        # The medium's sfdisk is the script, the modern tool beside it with its libraries.
        self.assertTrue(entries["sbin/sfdisk"][6].startswith(b"#!/bin/sh"))
        self.assertTrue(entries["sbin/sfdisk.real"][6].startswith(b"\x7fELF"))
        self.assertTrue(entries["sbin/mke2fs"][6].startswith(b"\x7fELF"))
        self.assertTrue(any(n.startswith("lib") and "ld-linux" in n for n in entries))

    def test_each_kind_writes_its_type_and_arguments(self):
        for kind, type_text, args in (("floppy", "floppy", ""), ("cdrom", "cdrom", ""),
                                      ("net", "net", ""), ("hdd", "hdd", "-hdd-install")):
            with self.subTest(kind=kind):
                entries, _ = self.initramfs(kind)
                pre_init = entries["init"][6].decode()
                self.assertIn('echo "%s" >/TYPE' % type_text, pre_init)
                self.assertIn("exec setsid -c /sbin/init %s <>" % args, pre_init)

    def test_modules_load_after_everything_they_depend_on(self):
        entries, _ = self.initramfs("cdrom")
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

    def test_serial_only_medium_removes_the_text_consoles(self):
        entries, _ = self.initramfs("serial")
        pre_init = entries["init"][6].decode()
        self.assertIn('if [ "1" = 1 ]; then\n  rm -f /dev/tty0 /dev/tty[0-9]*', pre_init)

    def test_hdd_image_holds_packages_and_control_files_under_their_names(self):
        medium = self.media["hdd"]
        listing = subprocess.run(["mdir", "-b", "-i", os.path.join(medium, "image.img"), "::/"],
                                 capture_output=True, text=True,
                                 env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
        names = sorted(os.path.basename(line.strip()) for line in listing.splitlines())
        self.assertEqual(["CHOOSE", "autorun.scr", "mbr", "sample.qpk"],
                         sorted(names, key=str))

    def test_missing_module_tree_is_refused(self):
        result = subprocess.run([sys.executable, vmtest.MKMEDIA, "--kind", "floppy", "-o",
                                 os.path.join(self.temp, "x"), "--installer", self.installer,
                                 "--modules-dir", os.path.join(self.temp, "none")],
                                capture_output=True, text=True)
        self.assertEqual(1, result.returncode)
        self.assertIn("no module tree", result.stderr)


if __name__ == "__main__":
    vmtest.main()
