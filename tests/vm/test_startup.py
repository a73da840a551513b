# The installer as the init of a real kernel in QEMU: start-up, the console it chooses (text
# console or, without one, the serial line), the interrupt's abort path and the reboot that
# ends every run.
import vmtest
from vmtest import VmTestCase
import vmlib

MBR_SIZE = 512


def disk_untouched_after_sector_zero(path):
    """True when nothing but the boot sector was written (the installer writes its boot code
    there as soon as it has found the drive)."""
    with open(path, "rb") as f:
        f.seek(MBR_SIZE)
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                return True
            if chunk.count(0) != len(chunk):
                return False


class StartupTest(VmTestCase):
    def test_declined_erase_reboots_after_enter_with_disk_untouched(self):
        medium = self.make_medium("floppy")
        vm = self.boot(medium, floppy=medium + "/boot.img")
        vm.expect("Welcome to Trenavox Router Software floppy installation", 60)
        vm.expect("Press Ctrl-Alt-Delete to abort")
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"n")
        vm.expect("Press ENTER to reboot", 10)
        # Other keys only ring the bell: the installer is still waiting.
        vm.send(b"x")
        vm.expect("\x07", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot()
        self.assertTrue(disk_untouched_after_sector_zero(self.disk))
        self.assertEqual([], vmlib.partitions(self.disk))

    def test_without_text_console_the_dialogue_runs_on_the_serial_line(self):
        # The pre-init removes /dev/tty0 and the VTs and starts the installer with nothing on
        # its standard streams: everything seen here was written to /dev/ttyS0 by the
        # installer's own choice.
        medium = self.make_medium("floppy", "--serial-only")
        vm = self.boot(medium, floppy=medium + "/boot.img")
        vm.expect("Welcome to Trenavox Router Software floppy installation", 60)
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"n")
        vm.expect("Press ENTER to reboot", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot()

    def test_interrupt_at_a_question_aborts_and_reboots_after_enter(self):
        medium = self.make_medium("floppy", "--serial-only")
        vm = self.boot(medium, floppy=medium + "/boot.img")
        vm.expect("Do you want to keep old configuration? ", 60)
        vm.expect("[y/n]", 10)
        vm.send(vmlib.CTRL_C)
        vm.expect("Installation aborted", 10)
        vm.expect("Press ENTER to reboot", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot(announced=False)
        self.assertTrue(disk_untouched_after_sector_zero(self.disk))

    def test_interrupt_at_the_floppy_prompt_unmounts_the_target_cleanly(self):
        medium = self.make_medium("floppy", "--log-serial")
        vm = self.boot(medium, floppy=medium + "/boot.img")
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"y")
        vm.expect("Please insert 2nd installation floppy.", 120)
        vm.expect("Press ENTER when ready", 10)
        vm.send(vmlib.CTRL_C)
        vm.expect("Installation aborted", 10)
        vm.expect("Press ENTER to reboot", 10)
        vm.send(vmlib.ENTER)
        self.expect_reboot(announced=False)
        table = vmlib.partitions(self.disk)
        self.assertEqual(1, len(table), table)
        offset = table[0]["start"] * vmlib.SECTOR
        self.assertEqual("ext3", vmlib.file_system_kind(self.disk, offset))
        self.assertTrue(vmlib.cleanly_unmounted(self.disk, offset),
                        "the abort path left the target root mounted")


if __name__ == "__main__":
    vmtest.main()
