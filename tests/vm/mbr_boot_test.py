# The master boot code under SeaBIOS (QEMU, TCG). Each case's disk has mbr-image's sector with a
# table put in; partition sectors hold a probe reporting over COM1 which entry SI points at and
# which drive DL names, then ending QEMU through isa-debug-exit. The screen's messages are read on
# COM1 too, where SeaBIOS's serial console (etc/sercon-port) copies them. Skipped without QEMU.

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import vmtest

QEMU = "qemu-system-i386"
SECTOR = 512
CYLINDERS, HEADS, SECTORS = 4, 16, 63
DEBUG_EXIT_VALUE = 0x31
MISSING = "Missing operating system"
LOAD_ERROR = "Error loading operating system"


def probe_sector(probe_id, signed):
    """A partition boot sector that sends 'P', its id, SI (low, high) and DL to COM1."""
    code = bytes([0x88, 0xD3, 0xBA, 0xF8, 0x03,                # mov bl, dl; mov dx, 3F8h
                  0xB0, ord("P"), 0xEE, 0xB0, probe_id, 0xEE,  # out 'P'; out id
                  0x89, 0xF0, 0xEE, 0x88, 0xE0, 0xEE,          # mov ax, si; out al; out ah
                  0x88, 0xD8, 0xEE,                            # out the saved dl
                  0xB0, DEBUG_EXIT_VALUE, 0xE6, 0xF4,          # out F4h, 31h: QEMU exits
                  0xFA, 0xF4, 0xEB, 0xFC])                     # cli; hlt; jmp back to cli
    return code + bytes(SECTOR - 2 - len(code)) + (b"\x55\xaa" if signed else bytes(2))


def lba_of(cylinder, head, sector):
    return (cylinder * HEADS + head) * SECTORS + sector - 1


def entry(status, cylinder, head):
    """One 16-byte partition entry starting at sector 1; only the start CHS matters."""
    return bytes([status, head, 1 | ((cylinder >> 2) & 0xC0), cylinder & 0xFF, 0x83,
                  HEADS - 1, SECTORS | 0xC0, 0xFF]) + \
        lba_of(cylinder, head, 1).to_bytes(4, "little") + (63).to_bytes(4, "little")


# Entry k starts at cylinder 0, head 1 + k, sector 1, where probe 0x41 + k waits; a case gives
# the four status bytes and either the probe that must run with the entry's address in memory
# (SI), or the text the screen must show. Options: "unsigned" probes, "far" (entry 0 starts past
# the disk's end), "failures" (reads of probe 0x41's sector that fail first).
CASES = {
    "first_active_entry_is_booted": ((0x00, 0x80, 0x80, 0x00), (0x42, 0x07CE), {}),
    "only_last_entry_active_is_booted": ((0x00, 0x00, 0x00, 0x80), (0x44, 0x07EE), {}),
    "invalid_status_before_active_entry_is_missing_system": ((0x01, 0x80, 0, 0), MISSING, {}),
    "partition_sector_without_signature_is_missing_system":
        ((0x80, 0, 0, 0), MISSING, {"unsigned": True}),
    "unreadable_partition_sector_is_load_error": ((0x80, 0, 0, 0), LOAD_ERROR, {"far": True}),
    "four_failed_reads_are_retried_and_boot": ((0x80, 0, 0, 0), (0x41, 0x07BE), {"failures": 4}),
    "five_failed_reads_are_load_error": ((0x80, 0, 0, 0), LOAD_ERROR, {"failures": 5}),
    "no_active_entry_hands_back_to_firmware": ((0, 0, 0, 0), "No bootable device", {}),
}


def make_drive(tool, name, work):
    """The QEMU -drive options of the case's disk."""
    statuses, _, options = CASES[name]
    mbr, image = os.path.join(work, "mbr"), os.path.join(work, name + ".img")
    subprocess.run([tool, mbr], check=True)
    with open(mbr, "rb") as source:
        sector0 = bytearray(source.read())
    assert len(sector0) == SECTOR and sector0[510:] == b"\x55\xaa", "mbr-image wrote no sector"
    sector0[446:510] = b"".join(entry(status, 1000 if i == 0 and options.get("far") else 0, 1 + i)
                                for i, status in enumerate(statuses))
    with open(image, "wb") as disk:
        disk.truncate(CYLINDERS * HEADS * SECTORS * SECTOR)
        disk.write(sector0)
        for i in range(4):
            disk.seek(lba_of(0, 1 + i, 1) * SECTOR)
            disk.write(probe_sector(0x41 + i, not options.get("unsigned")))
    if not options.get("failures"):
        return "file=" + image
    # One rule per failure, each used up by the read it fails; other sectors pass them by.
    config = os.path.join(work, name + ".blkdebug")
    with open(config, "w") as out:
        out.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%d"\nonce = "on"\n'
                  % lba_of(0, 1, 1) * options["failures"])
    return "file.driver=blkdebug,file.config=%s,file.image.filename=%s" % (config, image)


def run_case(tool, name, work):
    """Boots the case's disk until a probe ends QEMU, a message shows or 20 s pass; returns
    QEMU's exit status (None when stopped), the text on COM1 and QEMU's complaints."""
    serial, port = os.path.join(work, name + ".serial"), os.path.join(work, "sercon-port")
    with open(port, "wb") as f:
        f.write((0x3F8).to_bytes(2, "little"))  # SeaBIOS copies the screen's text there
    command = [QEMU, "-accel", "tcg", "-machine", "pc", "-m", "16", "-display", "none",
               "-nic", "none", "-no-reboot", "-boot", "order=c",
               "-drive", "if=none,id=d0,format=raw," + make_drive(tool, name, work),
               "-device", "ide-hd,drive=d0,cyls=%d,heads=%d,secs=%d,bios-chs-trans=none"
               % (CYLINDERS, HEADS, SECTORS), "-serial", "file:" + serial,
               "-fw_cfg", "name=etc/sercon-port,file=" + port,
               "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"]
    open(serial, "wb").close()
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    deadline, report = time.monotonic() + 20, b""
    try:
        while process.poll() is None and time.monotonic() < deadline and not any(
                m.encode() in report for m in (MISSING, LOAD_ERROR, "No bootable device")):
            time.sleep(0.05)
            with open(serial, "rb") as f:
                report = f.read()
    finally:
        process.kill()  # a no-op once it has ended
        log = process.communicate()[1]
    with open(serial, "rb") as f:
        return process.returncode if process.returncode >= 0 else None, f.read(), log


class MbrBootTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which(QEMU) is None:
            raise unittest.SkipTest("%s is not installed" % QEMU)
        cls.tool = os.environ.get("TRENAVOX_MBR_IMAGE") or os.path.join(
            vmtest.BINARY_DIR, "tools", "mbr-image", "mbr-image")
        cls.work = tempfile.mkdtemp(prefix="mbr_boot_test.")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)

    def check(self, name):
        status, report, log = run_case(self.tool, name, self.work)
        wanted = CASES[name][1]
        context = "exit %s, QEMU said %r, COM1 had %r" % (status, log, report)
        if isinstance(wanted, tuple):
            probe, si = wanted
            self.assertEqual(DEBUG_EXIT_VALUE << 1 | 1, status, context)
            self.assertTrue(report.endswith(bytes([ord("P"), probe, si & 0xFF, si >> 8, 0x80])),
                            context)
            return
        self.assertIsNone(status, "a probe ran although none should: " + context)
        text = re.sub(r"\x1b(\[[0-9;?]*)?[A-Za-z]", "", report.decode("latin-1"))
        # our own messages stand alone on their line; the other one must not show
        lines = re.split(r"\r\n?|\n", text)
        self.assertIn(wanted, lines if wanted in (MISSING, LOAD_ERROR) else text, context)
        self.assertEqual([], [m for m in (MISSING, LOAD_ERROR) if m != wanted and m in text],
                         context)


for _name in CASES:
    setattr(MbrBootTest, "test_" + _name, lambda self, name=_name: self.check(name))

if __name__ == "__main__":
    vmtest.main()
