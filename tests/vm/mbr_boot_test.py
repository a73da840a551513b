#!/usr/bin/python3
"""The master boot code under a real PC firmware (SeaBIOS in QEMU, TCG).

Each case builds a tiny disk: sector 0 is the sector that mbr-image (TRENAVOX_MBR_IMAGE) writes
with a partition table put in, and partition sectors hold a probe program that reports over the
serial port which entry SI points at and which drive DL names, then ends QEMU through the
isa-debug-exit device. Messages are read from VGA text memory (QMP pmemsave of 0xB8000).
Exit 77 (skipped) without qemu-system-i386.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import vmtest

QEMU = "qemu-system-i386"
SECTOR = 512
TABLE = 446
CYLINDERS, HEADS, SECTORS = 4, 16, 63
DEBUG_EXIT_VALUE = 0x31
DEBUG_EXIT_CODE = (DEBUG_EXIT_VALUE << 1) | 1
SCREEN = 0xB8000
DEADLINE_SECONDS = 20
MISSING = "Missing operating system"
LOAD_ERROR = "Error loading operating system"


def probe_sector(probe_id, signed=True):
    """A partition boot sector that sends 'P', its id, SI (low, high) and DL to COM1."""
    code = bytes([0x88, 0xD3, 0xBA, 0xF8, 0x03,             # mov bl, dl; mov dx, 3F8h
                  0xB0, ord("P"), 0xEE, 0xB0, probe_id, 0xEE,  # out 'P'; out id
                  0x89, 0xF0, 0xEE, 0x88, 0xE0, 0xEE,          # mov ax, si; out al; out ah
                  0x88, 0xD8, 0xEE,                            # out the saved dl
                  0xB0, DEBUG_EXIT_VALUE, 0xE6, 0xF4,          # out F4h, 31h: QEMU exits
                  0xFA, 0xF4, 0xEB, 0xFC])                     # cli; hlt; jmp back to cli
    sector = bytearray(SECTOR)
    sector[:len(code)] = code
    if signed:
        sector[510:512] = b"\x55\xaa"
    return sector


def lba_of(cylinder, head, sector):
    return (cylinder * HEADS + head) * SECTORS + sector - 1


def entry(status, cylinder, head, sector):
    """One 16-byte partition entry; only the start CHS matters to the boot code."""
    return bytes([status, head, sector | ((cylinder >> 2) & 0xC0), cylinder & 0xFF, 0x83,
                  HEADS - 1, SECTORS | 0xC0, 0xFF]) + \
        lba_of(cylinder, head, sector).to_bytes(4, "little") + (63).to_bytes(4, "little")


# Entry k starts at cylinder 0, head 1 + k, sector 1, where probe 0x41 + k waits; a case gives
# the four status bytes and, when the boot code should run a probe, its id and the entry's
# address in memory (SI). Options: "unsigned" probes, "far" (entry 0 starts past the disk's
# end), "failures" (reads of probe 0x41's sector that fail first).
CASES = {
    "first_active_entry_is_booted": ((0x00, 0x80, 0x80, 0x00), ("boot", 0x42, 0x07CE), {}),
    "only_last_entry_active_is_booted": ((0x00, 0x00, 0x00, 0x80), ("boot", 0x44, 0x07EE), {}),
    "invalid_status_before_active_entry_is_missing_system":
        ((0x01, 0x80, 0x00, 0x00), ("screen", MISSING), {}),
    "partition_sector_without_signature_is_missing_system":
        ((0x80, 0x00, 0x00, 0x00), ("screen", MISSING), {"unsigned": True}),
    "unreadable_partition_sector_is_load_error":
        ((0x80, 0x00, 0x00, 0x00), ("screen", LOAD_ERROR), {"far": True}),
    "four_failed_reads_are_retried_and_boot":
        ((0x80, 0x00, 0x00, 0x00), ("boot", 0x41, 0x07BE), {"failures": 4}),
    "five_failed_reads_are_load_error":
        ((0x80, 0x00, 0x00, 0x00), ("screen", LOAD_ERROR), {"failures": 5}),
    "no_active_entry_hands_back_to_firmware":
        ((0x00, 0x00, 0x00, 0x00), ("screen", "No bootable device"), {}),
}


def make_disk(tool, name, work):
    statuses, _, options = CASES[name]
    mbr = os.path.join(work, "mbr")
    subprocess.run([tool, mbr], check=True)
    with open(mbr, "rb") as source:
        sector0 = bytearray(source.read())
    if len(sector0) != SECTOR or sector0[510:512] != b"\x55\xaa":
        raise RuntimeError("mbr-image wrote %d bytes without a signature" % len(sector0))
    for index, status in enumerate(statuses):
        cylinder = 1000 if index == 0 and options.get("far") else 0
        sector0[TABLE + 16 * index:TABLE + 16 * (index + 1)] = entry(status, cylinder, 1 + index, 1)
    image = os.path.join(work, name + ".img")
    with open(image, "wb") as disk:
        disk.truncate(CYLINDERS * HEADS * SECTORS * SECTOR)
        disk.write(sector0)
        for index in range(4):
            disk.seek(lba_of(0, 1 + index, 1) * SECTOR)
            disk.write(probe_sector(0x41 + index, not options.get("unsigned")))
    failures = options.get("failures", 0)
    if not failures:
        return "file=" + image
    # One rule per failure, each used up by the read it fails; other sectors pass them by.
    config = os.path.join(work, name + ".blkdebug")
    rule = ["[inject-error]", 'event = "read_aio"', 'errno = "5"',
            'sector = "%d"' % lba_of(0, 1, 1), 'once = "on"', ""]
    with open(config, "w") as out:
        out.write("\n".join(rule * failures))
    return "file.driver=blkdebug,file.config=%s,file.image.filename=%s" % (config, image)


class Qmp:
    """A QMP conversation over QEMU's standard input and output."""

    def __init__(self, process):
        self.process = process
        self.read()  # greeting
        self.command("qmp_capabilities")

    def read(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("QEMU closed its monitor")
        return json.loads(line)

    def command(self, name, **arguments):
        self.process.stdin.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.process.stdin.flush()
        while True:
            reply = self.read()
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RuntimeError("QMP %s: %s" % (name, reply["error"]))


def run_case(tool, name, work):
    serial = os.path.join(work, name + ".serial")
    log_path = os.path.join(work, name + ".qemu.log")
    command = [
        QEMU, "-accel", "tcg", "-machine", "pc", "-m", "16", "-display", "none",
        "-nic", "none", "-no-reboot", "-boot", "order=c",
        "-drive", "if=none,id=d0,format=raw," + make_disk(tool, name, work),
        "-device", "ide-hd,drive=d0,cyls=%d,heads=%d,secs=%d,bios-chs-trans=none"
        % (CYLINDERS, HEADS, SECTORS),
        "-serial", "file:" + serial,
        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
        "-qmp", "stdio",
    ]
    with open(log_path, "w") as log:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=log, text=True)
        try:
            problem = judge(process, CASES[name][1], serial, os.path.join(work, name + ".screen"))
        except RuntimeError as error:
            problem = str(error)
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
    with open(log_path) as log:
        messages = log.read().strip()
    if problem and messages:
        problem += "\nQEMU said:\n" + messages
    return problem


def judge(process, expectation, serial, dump):
    """None when QEMU showed the expected outcome, else what it did instead."""
    qmp = Qmp(process)
    deadline = time.monotonic() + DEADLINE_SECONDS
    lines = []
    while time.monotonic() < deadline and process.poll() is None:
        try:
            qmp.command("pmemsave", val=SCREEN, size=80 * 25 * 2, filename=dump)
        except (RuntimeError, OSError):
            break  # QEMU ended between the check and the command
        with open(dump, "rb") as screen:
            cells = screen.read()
        text = "".join(chr(c) if 32 <= c < 127 else " " for c in cells[::2])
        lines = [text[row * 80:(row + 1) * 80].rstrip() for row in range(25)]
        if expectation[0] == "screen" and any(expectation[1] in line for line in lines):
            break
        if expectation[0] == "boot" and (MISSING in text or LOAD_ERROR in text):
            deadline = time.monotonic()  # the boot code gave up: no probe will run
            break
        time.sleep(0.05)
    screen = "\n".join(lines)
    if expectation[0] == "boot":
        try:
            process.wait(timeout=max(0.5, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            return "no probe ran; screen:\n" + screen
        with open(serial, "rb") as port:
            report = port.read()
        if process.returncode != DEBUG_EXIT_CODE:
            return "QEMU ended with %d, serial %r" % (process.returncode, report)
        _, probe, si = expectation
        wanted = bytes([ord("P"), probe, si & 0xFF, si >> 8, 0x80])
        return None if report == wanted else "probe reported %r, wanted %r" % (report, wanted)
    with open(serial, "rb") as port:
        report = port.read()
    if report:
        return "a probe ran although none should: %r" % report
    wanted = expectation[1]
    alone = wanted in (MISSING, LOAD_ERROR)  # our own messages stand alone on their line
    if (wanted not in lines) if alone else (wanted not in screen):
        return "%r not shown; screen:\n%s" % (wanted, screen)
    if any(other != wanted and other in screen for other in (MISSING, LOAD_ERROR)):
        return "the other message shown as well; screen:\n" + screen
    return None


class MbrBootTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which(QEMU) is None:
            raise unittest.SkipTest("%s is not installed" % QEMU)
        cls.tool = os.environ.get("TRENAVOX_MBR_IMAGE") or os.path.join(
            vmtest.BINARY_DIR, "tools", "mbr-image", "mbr-image")
        cls.work = tempfile.mkdtemp(prefix="mbr_boot_test.")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)


def _case(name):
    def test(self):
        problem = run_case(self.tool, name, self.work)
        self.assertIsNone(problem, problem)
    return test


for _name in CASES:
    setattr(MbrBootTest, "test_" + _name, _case(_name))

if __name__ == "__main__":
    vmtest.main()
