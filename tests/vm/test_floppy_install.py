# A floppy set installed end to end in QEMU: the sample packages as a three-part set, offered
# the way a hurried operator would (the boot floppy left in, the wrong part, a damaged copy),
# then the installed disk read back from the host.
import os
import shutil
import subprocess
import tempfile

import samples
import vmlib
import vmtest
from vmtest import VmTestCase

# Small enough that the sample payload (about 1 MB) needs three floppies.
PART_CAPACITY = 450000
FLOPPY_KIB = 1440


def floppy_image(part_file, image, name):
    """A FAT floppy holding part_file under the given name (as the set's parts are named)."""
    with tempfile.TemporaryDirectory() as stage:
        staged = os.path.join(stage, name)
        shutil.copyfile(part_file, staged)
        if os.path.exists(image):
            os.unlink(image)
        subprocess.run(["mkfs.vfat", "-C", image, str(FLOPPY_KIB)], check=True,
                       capture_output=True)
        subprocess.run(["mcopy", "-i", image, staged, "::/"], check=True, capture_output=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    return image


class FloppyInstallTest(VmTestCase):
    def offer(self, image, outcomes):
        """At the floppy prompt: puts the image in the drive and presses Enter. A drive that
        reports the change on the first access fails that mount ("No floppy"); the operator
        then simply presses Enter again. Returns the outcome seen."""
        vm = self.vm
        vm.expect("Press ENTER when ready", 30)
        if image:
            vm.change_floppy(image)
        vm.send(vmlib.ENTER)
        for _ in range(3):
            index = vm.expect(list(outcomes) + ["ERROR: No floppy, or bad floppy"], 120)
            if index < len(outcomes):
                return outcomes[index]
            self.no_floppy_retries += 1
            vm.expect("Press ENTER when ready", 30)
            vm.send(vmlib.ENTER)
        self.fail("the floppy %s never mounted" % image)

    def read_without_error(self, text):
        """Waits for text; fails if an error line comes first."""
        index = self.vm.expect([text, "ERROR", "FATAL ERROR"], 300)
        self.assertEqual(0, index, "an error came before %r" % text)

    def prompt(self, ordinal):
        self.vm.expect("Please insert %s installation floppy." % ordinal, 120)

    def test_three_part_set_with_wrong_and_damaged_floppies_installs_the_packages(self):
        self.no_floppy_retries = 0
        packages = samples.build_packages(vmtest.QPK, os.path.join(self.workdir, "packages"))
        parts = samples.build_floppy_set(vmtest.MKFLOPPYSET, packages,
                                         os.path.join(self.workdir, "set"),
                                         capacity=PART_CAPACITY)
        self.assertEqual(3, len(parts), "the sample set should need three floppies")
        block_size, group_blocks, parity, _ = samples.part_layout(parts[0])
        self.assertEqual(1, parity)

        medium = self.make_medium("floppy", "--log-serial",
                                  *sum((["--floppy-part", p] for p in parts), []))
        good = [os.path.join(medium, "set-%02u.img" % i) for i in range(3)]
        damaged_dir = os.path.join(self.workdir, "damaged")
        os.makedirs(damaged_dir)
        # Part 0 with one bad data block in its second group: parity mends it.
        one_bad = floppy_image(
            samples.damage_blocks(parts[0], os.path.join(damaged_dir, "n00.one"), 1, [3]),
            os.path.join(damaged_dir, "part0-one-bad-block.img"), "trenavox.n00")
        # Part 1 with two bad blocks in its first group: beyond repair.
        two_bad = floppy_image(
            samples.damage_blocks(parts[1], os.path.join(damaged_dir, "n01.two"), 0, [2, 5]),
            os.path.join(damaged_dir, "part1-two-bad-blocks.img"), "trenavox.n01")

        vm = self.boot(medium, floppy=os.path.join(medium, "boot.img"))
        vm.expect("Welcome to Trenavox Router Software floppy installation", 60)
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"y")

        # The boot floppy is still in the drive.
        self.prompt("2nd")
        self.assertEqual("Wrong floppy!", self.offer(None, ["Wrong floppy!"]))
        # Part 1 where part 0 is wanted: the file name decides.
        self.prompt("2nd")
        self.assertEqual("Wrong floppy!", self.offer(good[1], ["Wrong floppy!",
                                                               "Installing part"]))
        self.prompt("2nd")
        self.assertEqual("Installing part 1 of 3...",
                         self.offer(one_bad, ["Installing part 1 of 3...", "Wrong floppy!"]))
        self.read_without_error("Please insert 3rd installation floppy.")
        self.assertEqual("Installing part 2 of 3...",
                         self.offer(two_bad, ["Installing part 2 of 3...", "Wrong floppy!"]))
        # Nothing of the rejected part reaches the installer; the same floppy is asked again.
        self.assertEqual(0, vm.expect(["ERROR: bad floppy, please replace it.",
                                       "Please insert"], 120))
        self.prompt("3rd")
        self.assertEqual("Installing part 2 of 3...",
                         self.offer(good[1], ["Installing part 2 of 3...", "Wrong floppy!"]))
        self.read_without_error("Please insert 4th installation floppy.")
        self.assertEqual("Installing part 3 of 3...",
                         self.offer(good[2], ["Installing part 3 of 3...", "Wrong floppy!"]))
        self.read_without_error("Software installed.")
        vm.expect("Remove boot floppy", 10)
        vm.expect("Press ENTER to reboot", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot()
        self.assertIn("Recovering bad block #3", vm.log_terminal())
        self.check_installed_disk()

    def check_installed_disk(self):
        with open(self.disk, "rb") as f:
            boot_code = f.read(446)
        self.assertNotEqual(bytes(446), boot_code, "no master boot code in sector 0")
        table = vmlib.partitions(self.disk)
        self.assertEqual(1, len(table), table)
        self.assertEqual(0x83, table[0]["type"])
        offset = table[0]["start"] * vmlib.SECTOR
        # A 64 MiB disk is over 40 MiB: journaled root, ext3.
        self.assertEqual("ext3", vmlib.file_system_kind(self.disk, offset))
        root = self.check_packages_installed(self.disk)
        with open(os.path.join(root, "etc", "lilo.conf")) as f:
            self.assertIn("/dev/hda1", f.read())
        with open(os.path.join(root, "etc", "fstab")) as f:
            self.assertRegex(f.read(), r"/dev/hda1\s+/\s+ext3")
        with open(os.path.join(root, "var", "log", "postinstall.log")) as f:
            self.assertEqual("post-install done\n", f.read())


if __name__ == "__main__":
    vmtest.main()
