"""Start-up and dispatch of the real static installer as PID 1 in a namespace sandbox."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402

INSTALLER = os.environ.get("TRENAVOX_INSTALLER", "")


def setUpModule():
    reason = sandbox.skip_reason()
    if reason:
        raise unittest.SkipTest(reason)
    if not os.path.exists(INSTALLER):
        raise unittest.SkipTest("TRENAVOX_INSTALLER does not name the static installer")


# What each mode shows first while its flow ends at once (no drive, no medium).
MODE_MARKERS = {
    "floppy": "floppy installation",
    "cdrom": "CD-ROM installation",
    "hdd": "hard disk installation",
    "net": "remote installation",
}


class StartupTest(unittest.TestCase):
    def run_to_reboot(self, box, confirm=True):
        """Drives a run whose flow fails at once through to the reboot; returns the output."""
        box.start()
        if confirm:
            box.expect("Press ENTER to reboot")
            box.send("\n")
        box.expect("Rebooting...")
        self.assertEqual(box.wait_exit(), sandbox.REBOOT_EXIT)
        return box.output.decode(errors="replace")

    def test_init_name_forks_waiting_parent_and_installer(self):
        with sandbox.Sandbox(INSTALLER, name="/sbin/init", type_text="cdrom\n") as box:
            box.start()
            box.expect("Press ENTER to reboot")
            # PID 1 only waits; its one child is the installer (the numbers between were used
            # by the set-up inside the namespace).
            processes = box.namespace_processes()
            self.assertEqual(len(processes), 2, processes)
            self.assertEqual(processes[0], (1, "init"))
            self.assertEqual(processes[1][1], "init")
            box.send("\n")
            box.expect("Rebooting...")
            self.assertEqual(box.wait_exit(), sandbox.REBOOT_EXIT)

    def test_other_name_does_not_fork(self):
        with sandbox.Sandbox(INSTALLER, name="/bin/installer", type_text="cdrom") as box:
            box.start()
            box.expect("Press ENTER to reboot")
            self.assertEqual(box.namespace_processes(), [(1, "installer")])
            box.send("\n")
            box.expect("Rebooting...")
            self.assertEqual(box.wait_exit(), sandbox.REBOOT_EXIT)

    def test_without_text_console_dialogue_goes_to_serial_line(self):
        # The installer starts with /dev/null as its streams and no /dev/tty0: it can only be
        # seen and answered on /dev/ttyS0.
        with sandbox.Sandbox(INSTALLER, type_text="cdrom", text_console=False) as box:
            output = self.run_to_reboot(box)
            self.assertIn(MODE_MARKERS["cdrom"], output)

    def test_mode_choice(self):
        cases = [
            ("cdrom\n", [], "cdrom"),
            ("cdrom", [], "cdrom"),
            ("CDROM\n", [], "floppy"),
            ("cdrom x\n", [], "floppy"),
            (None, [], "floppy"),
            ("", [], "floppy"),
            ("net\n", [], "net"),
            ("cdrom\n", ["-hdd-install"], "hdd"),
            ("net\n", ["x", "-hdd-install", "y"], "hdd"),
            ("cdrom\n", ["-hdd-installx"], "cdrom"),
        ]
        for type_text, args, mode in cases:
            with self.subTest(type_text=type_text, args=args):
                with sandbox.Sandbox(INSTALLER, type_text=type_text, args=args) as box:
                    output = self.run_to_reboot(box)
                    self.assertIn(MODE_MARKERS[mode], output)
                    for other, marker in MODE_MARKERS.items():
                        if other != mode:
                            self.assertNotIn(marker, output)

    def test_interrupt_at_a_question_aborts_and_reboots_after_enter(self):
        # A drive is found (a stand-in sfdisk lists one), so the floppy flow waits on its first
        # question; the interrupt then takes the abort path.
        with sandbox.Sandbox(INSTALLER, type_text="floppy\n") as box:
            box.add_busybox()
            box.write_file("/sbin/sfdisk",
                           "#!/bin/sh\necho '/dev/hda: 100 cylinders, 16 heads, 63 sectors/track'\n",
                           0o755)
            box.start()
            box.expect("Found harddrive as IDE Primary master (disk C)")
            box.expect("Do you want to keep old configuration?  [y/n]:")
            box.send("\x03")
            end = box.expect("Installation aborted\r\nPress ENTER to reboot")
            box.send("x")
            box.expect("\a", start=end)
            box.send("\n")
            self.assertEqual(box.wait_exit(), sandbox.REBOOT_EXIT)
            self.assertNotIn(b"Rebooting...", box.output)

    def test_interrupt_after_flow_has_no_effect(self):
        with sandbox.Sandbox(INSTALLER, type_text="cdrom") as box:
            box.start()
            end = box.expect("Press ENTER to reboot")
            box.send("\x03")
            box.send("\n")
            box.expect("Rebooting...", start=end)
            self.assertEqual(box.wait_exit(), sandbox.REBOOT_EXIT)
            self.assertNotIn(b"Installation aborted", box.output)


if __name__ == "__main__":
    unittest.main()
