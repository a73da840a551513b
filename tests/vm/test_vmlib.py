# The VM harness's own disk readers, which the VM tests trust to judge a run: the MBR reader,
# and the superblock and debugfs readers on file systems made by mke2fs.
import os
import shutil
import subprocess
import tempfile
import unittest

import vmlib
import vmtest


class HarnessReadersTest(unittest.TestCase):
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
            os.truncate(image, offset + (8 << 20))
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
