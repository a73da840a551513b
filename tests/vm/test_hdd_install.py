# The hard-disk image medium in QEMU, unattended: a FAT image disk (primary slave) with the
# sample packages, "autorun.scr" and "mbr" installs the blank primary master without a question,
# writes the boot record over the image's first sector and reboots without waiting for Enter.
import os
import re

import samples
import vmtest
from vmtest import VmTestCase

SCRIPT = b"# configuration script of the sample router\nset hostname sample\n"


class HddInstallTest(VmTestCase):
    def test_unattended_image_installs_everything_and_carries_the_script(self):
        packages = samples.build_packages(vmtest.QPK, os.path.join(self.workdir, "packages"))
        script = os.path.join(self.workdir, "autorun.scr")
        with open(script, "wb") as f:
            f.write(SCRIPT)
        boot_record = os.path.join(self.workdir, "mbr")
        with open(boot_record, "wb") as f:
            f.write(bytes(range(256)) * 2)
        medium = self.make_medium("hdd", "--log-serial", "--packages", *packages,
                                  "--autorun", script, "--mbr", boot_record)
        image = os.path.join(medium, "image.img")
        vm = self.boot(medium, ide_disks={1: image})
        self.skip_if_not_built("hard disk")
        self.assertEqual(0, vm.expect(["Software installed.", "ERROR"], 300))
        self.expect_reboot()
        root = self.check_packages_installed(self.disk,
                                             extra_allowed=re.compile(r"^/autorun\.scr$"))
        with open(os.path.join(root, "autorun.scr"), "rb") as f:
            self.assertEqual(SCRIPT, f.read())
        with open(image, "rb") as f:
            self.assertEqual(bytes(range(256)) * 2, f.read(512))


if __name__ == "__main__":
    vmtest.main()
