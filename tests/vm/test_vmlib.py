# The VM harness's own pieces that need no VM: console text without escape sequences across
# chunk boundaries, the MBR reader, the superblock checks and reading a file system with debugfs.
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
    def feed_all(self, chunks):
        text = vmlib.ConsoleText()
        for chunk in chunks:
            text.feed(chunk)
        return bytes(text.text)

    def test_escape_sequences_are_removed_whatever_the_chunking(self):
        stream = b"\x1b[?25l\x1b[H\x1b[2JWelcome\r\n\x1b[7m[X] base\x1b[m\x1b[1;5HEnd\x07"
        expected = b"Welcome\r\n[X] baseEnd\x07"
        for cut in range(len(stream) + 1):
            with self.subTest(cut=cut):
                self.assertEqual(expected, self.feed_all([stream[:cut], stream[cut:]]))
        self.assertEqual(expected, self.feed_all([bytes([b]) for b in stream]))

    def test_a_lone_escape_byte_does_not_hold_back_later_text_forever(self):
        text = vmlib.ConsoleText()
        text.feed(b"a\x1b")
        text.feed(b"q" + b"x" * 40)
        self.assertIn(b"x" * 40, bytes(text.text))


class DiskReadingTest(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.mkdtemp(prefix="vmlib-test-")
        self.image = os.path.join(self.temp, "disk.img")

    def tearDown(self):
        shutil.rmtree(self.temp, ignore_errors=True)

    def write_table(self, entries):
        sector = bytearray(512)
        for slot, (status, kind, start, count) in entries.items():
            entry = 446 + 16 * slot
            sector[entry] = status
            sector[entry + 4] = kind
            sector[entry + 8:entry + 12] = start.to_bytes(4, "little")
            sector[entry + 12:entry + 16] = count.to_bytes(4, "little")
        sector[510:512] = b"\x55\xaa"
        with open(self.image, "r+b" if os.path.exists(self.image) else "wb") as f:
            f.write(sector)

    def test_partition_entries_are_read_and_empty_slots_left_out(self):
        self.write_table({0: (0x80, 0x83, 63, 1000), 2: (0, 0x82, 2000, 500)})
        self.assertEqual([{"index": 1, "type": 0x83, "boot": 0x80, "start": 63,
                           "sectors": 1000},
                          {"index": 3, "type": 0x82, "boot": 0, "start": 2000,
                           "sectors": 500}], vmlib.partitions(self.image))

    def test_sector_without_signature_has_no_partitions(self):
        with open(self.image, "wb") as f:
            f.write(bytes(512))
        self.assertEqual([], vmlib.partitions(self.image))
        self.assertIsNone(vmlib.file_system_kind(self.image, 0))

    def test_file_systems_made_by_mke2fs_are_told_apart_and_read_back(self):
        if shutil.which("mke2fs") is None or shutil.which("debugfs") is None:
            self.skipTest("e2fsprogs is missing")
        offset = 63 * 512
        source = os.path.join(self.temp, "tree")
        os.makedirs(os.path.join(source, "etc"))
        with open(os.path.join(source, "etc", "motd"), "w") as f:
            f.write("hello\n")
        os.symlink("motd", os.path.join(source, "etc", "link"))
        for options, kind in (([], "ext2"), (["-j"], "ext3")):
            with self.subTest(kind=kind):
                with open(self.image, "wb") as f:
                    f.truncate(offset + 8 * 1024 * 1024)
                self.write_table({0: (0, 0x83, 63, 8 * 2048)})
                subprocess.run(["mke2fs", "-q", "-F", "-t", kind, "-d", source,
                                "-E", "offset=%d" % offset, self.image, "8M"] + options,
                               check=True, capture_output=True)
                self.assertEqual(kind, vmlib.file_system_kind(self.image, offset))
                self.assertTrue(vmlib.cleanly_unmounted(self.image, offset))
                root = os.path.join(self.temp, "out-" + kind)
                self.assertTrue(vmlib.extract_tree(self.image, offset, root))
                listing = vmlib.tree_listing(root)
                self.assertEqual(("f", b"hello\n", 0o644), listing["/etc/motd"])
                self.assertEqual(("l", "motd"), listing["/etc/link"])


if __name__ == "__main__":
    vmtest.main()
