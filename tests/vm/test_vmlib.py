# The VM harness's own readers, which the VM tests trust to judge a run: console text without
# escape sequences however it is chunked, the MBR reader, and the superblock and debugfs readers
# on file systems made by mke2fs.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmlib  # noqa: E402
import vmtest  # noqa: E402


class ConsoleTextTest(unittest.TestCase):
    def test_escape_sequences_are_removed_whatever_the_chunking(self):
        stream = b"\x1b[?25l\x1b[H\x1b[2JWelcome\r\n\x1b[7m[X] base\x1b[m\x1b[1;5HEnd\x07"
        for cut in range(len(stream) + 1):
            text = vmlib.ConsoleText()
            text.feed(stream[:cut])
            text.feed(stream[cut:])
            self.assertEqual(b"Welcome\r\n[X] baseEnd\x07", bytes(text.text), cut)
        # A lone escape byte does not hold back later text.
        text = vmlib.ConsoleText()
        text.feed(b"a\x1b")
        text.feed(b"q" + b"x" * 40)
        self.assertIn(b"x" * 40, bytes(text.text))


class DiskReadingTest(unittest.TestCase):
    def test_partitions_and_file_systems_made_by_mke2fs_are_read_back(self):
        if shutil.which("mke2fs") is None or shutil.which("debugfs") is None:
            self.skipTest("e2fsprogs is missing")
        temp = tempfile.mkdtemp(prefix="vmlib-test-")
        self.addCleanup(shutil.rmtree, temp, ignore_errors=True)
        image, offset = os.path.join(temp, "disk.img"), 63 * 512
        sector = bytearray(512)
        sector[446:462] = bytes([0x80, 0, 0, 0, 0x83, 0, 0, 0, 63, 0, 0, 0, 0, 0x40, 0, 0])
        sector[494:510] = bytes([0, 0, 0, 0, 0x82, 0, 0, 0, 0xd0, 7, 0, 0, 0xf4, 1, 0, 0])
        sector[510:512] = b"\x55\xaa"
        with open(image, "wb") as f:
            f.write(sector)
        self.assertEqual([(1, 0x83, 0x80, 63, 16384), (4, 0x82, 0, 2000, 500)],
                         [(p["index"], p["type"], p["boot"], p["start"], p["sectors"])
                          for p in vmlib.partitions(image)])
        source = os.path.join(temp, "tree")
        os.makedirs(os.path.join(source, "etc"))
        with open(os.path.join(source, "etc", "motd"), "w") as f:
            f.write("hello\n")
        os.symlink("motd", os.path.join(source, "etc", "link"))
        for options, kind in (([], "ext2"), (["-j"], "ext3")):
            with self.subTest(kind=kind):
                with open(image, "wb") as f:
                    f.truncate(offset + 8 * 1024 * 1024)
                subprocess.run(["mke2fs", "-q", "-F", "-t", kind, "-d", source,
                                "-E", "offset=%d" % offset, image, "8M"] + options,
                               check=True, capture_output=True)
                self.assertEqual(kind, vmlib.file_system_kind(image, offset))
                self.assertTrue(vmlib.cleanly_unmounted(image, offset))
                root = os.path.join(temp, "out-" + kind)
                self.assertTrue(vmlib.extract_tree(image, offset, root))
                listing = vmlib.tree_listing(root)
                self.assertEqual(("f", b"hello\n", 0o644), listing["/etc/motd"])
                self.assertEqual(("l", "motd"), listing["/etc/link"])


if __name__ == "__main__":
    vmtest.main()
