# The VM harness's own readers, which the VM tests trust to judge a run: console text without
# escape sequences however it is chunked, the MBR reader, and the superblock and debugfs readers
# on file systems made by mke2fs.
import os
import shutil
import subprocess
import tempfile
import unittest

import vmlib
import vmtest


class HarnessReadersTest(unittest.TestCase):
    def test_escape_sequences_are_removed_whatever_the_chunking(self):
        stream = b"\x1b[?25l\x1b[H\x1b[2JWelcome\r\n\x1b[7m[X] base\x1b[m\x1b[1;5HEnd\x07a\x1b"
        for cut in range(len(stream) + 1):
            text = vmlib.ConsoleText()
            for chunk in (stream[:cut], stream[cut:], b"q" + b"x" * 40):
                text.feed(chunk)
            # a lone escape at a chunk's end does not hold back later text
            self.assertEqual(b"Welcome\r\n[X] baseEnd\x07a\x1bq" + b"x" * 40, bytes(text.text), cut)

    def test_partitions_and_file_systems_made_by_mke2fs_are_read_back(self):
        if shutil.which("mke2fs") is None or shutil.which("debugfs") is None:
            self.skipTest("e2fsprogs is missing")
        temp = tempfile.mkdtemp(prefix="vmlib-test-")
        self.addCleanup(shutil.rmtree, temp, ignore_errors=True)
        image, source, offset = os.path.join(temp, "disk.img"), os.path.join(temp, "tree"), 63 * 512
        sector = bytearray(512)
        sector[494:512] = bytes([0x80, 0, 0, 0, 0x82, 0, 0, 0, 0xd0, 7, 0, 0, 0xf4, 1, 0, 0]) + \
            b"\x55\xaa"
        with open(image, "wb") as f:
            f.write(sector)
        self.assertEqual([{"index": 4, "type": 0x82, "boot": 0x80, "start": 2000, "sectors": 500}],
                         vmlib.partitions(image))
        os.makedirs(os.path.join(source, "etc"))
        with open(os.path.join(source, "etc", "motd"), "w") as f:
            f.write("hello\n")
        os.symlink("motd", os.path.join(source, "etc", "link"))
        for kind in ("ext2", "ext3"):
            with open(image, "wb") as f:
                f.truncate(offset + (8 << 20))
            subprocess.run(["mke2fs", "-q", "-F", "-t", kind, "-d", source,
                            "-E", "offset=%d" % offset, image, "8M"], check=True,
                           capture_output=True)
            self.assertEqual(kind, vmlib.file_system_kind(image, offset))
            self.assertTrue(vmlib.cleanly_unmounted(image, offset))
            root = os.path.join(temp, "out-" + kind)
            self.assertTrue(vmlib.extract_tree(image, offset, root))
            listing = vmlib.tree_listing(root)
            self.assertEqual(("f", b"hello\n", 0o644), listing["/etc/motd"])
            self.assertEqual(("l", "motd"), listing["/etc/link"])


if __name__ == "__main__":
    vmtest.main()
