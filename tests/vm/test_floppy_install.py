# A floppy set installed end to end in QEMU: the sample packages as a three-part set, offered
# the way a hurried operator would (the boot floppy left in, the wrong part, a damaged copy),
# then the installed disk read back from the host.
import os
import pathlib
import subprocess

import samples
import vmlib
import vmtest

# Small enough that the sample payload (about 1 MB) needs three floppies.
PART_CAPACITY = 450000


def damaged_floppy(part_file, image, group, blocks):
    """A FAT floppy holding a copy of part_file, under its own name, with one byte flipped in
    each of the given blocks of one parity group."""
    with open(part_file, "rb") as f:
        data = bytearray(f.read())
    u16 = lambda offset: int.from_bytes(data[offset:offset + 2], "little")  # noqa: E731
    assert u16(20) == 1, "one parity block per group mends one bad block, not two"
    for block in blocks:
        data[32 + (group * u16(18) + block) * u16(16) + 7] ^= 0x5A
    copy = os.path.join(os.path.dirname(image), os.path.basename(part_file))
    with open(copy, "wb") as f:
        f.write(data)
    subprocess.run(["mkfs.vfat", "-C", image, "1440"], check=True, capture_output=True)
    subprocess.run(["mcopy", "-i", image, copy, "::/"], check=True, capture_output=True,
                   env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    return image


class FloppyInstallTest(vmtest.VmTestCase):
    def offer(self, image, wanted):
        """At the floppy prompt: puts the image in, presses Enter and checks that the wanted
        outcome comes rather than the other one. A drive that reports the change on the first
        access fails that mount ("No floppy"); the operator then simply presses Enter again."""
        self.vm.expect("Press ENTER when ready", 30)
        if image:
            self.vm.change_floppy(image)
        self.vm.send(vmlib.ENTER)
        other = "Installing part" if wanted == "Wrong floppy!" else "Wrong floppy!"
        for _ in range(3):
            index = self.vm.expect([wanted, other, "ERROR: No floppy, or bad floppy"], 120)
            if index < 2:
                self.assertEqual(wanted, [wanted, other][index])
                return
            self.vm.expect("Press ENTER when ready", 30)
            self.vm.send(vmlib.ENTER)
        self.fail("the floppy %s never mounted" % image)

    def read_without_error(self, text):
        self.assertEqual(0, self.vm.expect([text, "ERROR"], 300), "an error came before " + text)

    def test_three_part_set_with_wrong_and_damaged_floppies_installs_the_packages(self):
        packages = samples.build_packages(vmtest.QPK, os.path.join(self.workdir, "packages"))
        parts = samples.build_floppy_set(vmtest.MKFLOPPYSET, packages,
                                         os.path.join(self.workdir, "set"), PART_CAPACITY)
        self.assertEqual(3, len(parts), "the sample set should need three floppies")
        medium = self.make_medium("floppy", "--log-serial",
                                  *sum((["--floppy-part", p] for p in parts), []))
        good = [os.path.join(medium, "set-%02u.img" % i) for i in range(3)]
        # Part 0 with one bad block in its second group, which parity mends; part 1 with two
        # in its first group, beyond repair.
        one_bad = damaged_floppy(parts[0], os.path.join(self.workdir, "one-bad.img"), 1, [3])
        two_bad = damaged_floppy(parts[1], os.path.join(self.workdir, "two-bad.img"), 0, [2, 5])

        vm = self.boot(medium, floppy=os.path.join(medium, "boot.img"))
        vm.expect("Welcome to Trenavox Router Software floppy installation", 60)
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"y")
        # (error shown first, floppy asked for, floppy offered, outcome): the boot floppy left
        # in, then part 1 where part 0 is wanted (the file name decides); the part that parity
        # cannot mend is rejected whole and asked for again.
        for error, ordinal, image, outcome in [
                (None, "2nd", None, "Wrong floppy!"), (None, "2nd", good[1], "Wrong floppy!"),
                (None, "2nd", one_bad, "Installing part 1 of 3..."),
                (None, "3rd", two_bad, "Installing part 2 of 3..."),
                ("ERROR: bad floppy, please replace it.", "3rd", good[1],
                 "Installing part 2 of 3..."), (None, "4th", good[2], "Installing part 3 of 3...")]:
            if error:
                self.assertEqual(0, vm.expect([error, "Please insert"], 120))
            self.read_without_error("Please insert %s installation floppy." % ordinal)
            self.offer(image, outcome)
        self.read_without_error("Software installed.")
        vm.expect("Remove boot floppy", 10)
        vm.expect("Press ENTER to reboot", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot()
        self.assertIn("Recovering bad block #3", pathlib.Path(vm.log_terminal_path).read_text())
        self.check_installed_disk()


if __name__ == "__main__":
    vmtest.main()
