# The CD-ROM medium in QEMU: the sample packages on an ISO 9660 CD in the secondary master
# drive, all chosen in the selection menu and installed on a blank disk.
import os
import re

import samples
import vmlib
import vmtest
from vmtest import VmTestCase


class CdInstallTest(VmTestCase):
    def test_all_packages_chosen_in_the_menu_are_installed_with_the_marker(self):
        packages = samples.build_packages(vmtest.QPK, os.path.join(self.workdir, "packages"))
        medium = self.make_medium("cdrom", "--log-serial", "--packages", *packages)
        vm = self.boot(medium, cdrom=os.path.join(medium, "packages.iso"))
        self.skip_if_not_built("CD-ROM")
        vm.expect("Press 'i' to install locally", 120)
        vm.send(b"a")
        vm.send(b"i")
        self.answer("Do you want to keep old configuration? ", b"n")
        self.answer("Continue?", b"y")
        self.assertEqual(0, vm.expect(["Software installed.", "ERROR"], 300))
        vm.expect("Press ENTER to reboot", 30)
        vm.send(vmlib.ENTER)
        self.expect_reboot()
        root = self.check_packages_installed(self.disk, extra_allowed=re.compile(r"^/CDINSTALL$"))
        self.assertTrue(os.path.isfile(os.path.join(root, "CDINSTALL")))


if __name__ == "__main__":
    vmtest.main()
