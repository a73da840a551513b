#!/usr/bin/python3
"""The master boot code under a real PC firmware (SeaBIOS in QEMU, TCG).

Each case builds a tiny disk: sector 0 is the sector that mbr-image writes with a partition table
put in, and partition sectors hold a probe program that reports over the serial port which
entry SI points at and which drive DL names, then ends QEMU through the isa-debug-exit device.
Messages are read from VGA text memory (QMP pmemsave of 0xB8000), never assumed.

usage: mbr_boot_test.py MBR_IMAGE_TOOL [CASE...]   (exit 77: QEMU missing, test skipped)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

QEMU = "qemu-system-i386"
SECTOR = 512
TABLE = 446
CYLINDERS, HEADS, SECTORS = 4, 16, 63
DEBUG_EXIT_VALUE = 0x31
DEBUG_EXIT_CODE = (DEBUG_EXIT_VALUE << 1) | 1
SCREEN = 0xB8000
SCREEN_BYTES = 80 * 25 * 2
DEADLINE_SECONDS = 20
MISSING = "Missing operating system"
LOAD_ERROR = "Error loading operating system"


def probe_sector(probe_id):
    """A partition boot sector that sends 'P', its id, SI (low, high) and DL to COM1."""
    code = bytes([
        0x88, 0xD3,              # mov bl, dl
        0xBA, 0xF8, 0x03,        # mov dx, 3F8h
        0xB0, ord("P"),          # mov al, 'P'
        0xEE,                    # out dx, al
        0xB0, probe_id,          # mov al, id
        0xEE,                    # out dx, al
        0x89, 0xF0,              # mov ax, si
        0xEE,                    # out dx, al
        0x88, 0xE0,              # mov al, ah
        0xEE,                    # out dx, al
        0x88, 0xD8,              # mov al, bl
        0xEE,                    # out dx, al
        0xB0, DEBUG_EXIT_VALUE,  # mov al, 31h
        0xE6, 0xF4,              # out F4h, al
        0xFA, 0xF4,              # cli; hlt
        0xEB, 0xFC,              # jmp back to cli
    ])
    sector = bytearray(SECTOR)
    sector[:len(code)] = code
    sector[510:512] = b"\x55\xaa"
    return sector


def entry(status, cylinder, head, sector, system=0x83):
    """One 16-byte partition entry; only the start CHS matters to the boot code."""
    lba = (cylinder * HEADS + head) * SECTORS + sector - 1
    raw = bytearray(16)
    raw[0] = status
    raw[1] = head
    raw[2] = sector | ((cylinder >> 2) & 0xC0)
    raw[3] = cylinder & 0xFF
    raw[4] = system
    raw[5:8] = bytes([HEADS - 1, SECTORS | 0xC0, 0xFF])
    raw[8:12] = lba.to_bytes(4, "little")
    raw[12:16] = (63).to_bytes(4, "little")
    return raw


def lba_of(cylinder, head, sector):
    return (cylinder * HEADS + head) * SECTORS + sector - 1


# Partition k of a case starts at cylinder 0, head 1 + k, sector 1 and holds probe id 0x41 + k,
# unless the case says otherwise.
def standard_entry(index, status):
    return entry(status, 0, 1 + index, 1)


def standard_sectors(count=4, signed=True):
    sectors = {}
    for index in range(count):
        probe = probe_sector(0x41 + index)
        if not signed:
            probe[510:512] = b"\0\0"
        sectors[lba_of(0, 1 + index, 1)] = probe
    return sectors


CASES = {
    # name: (entries, partition sectors, blkdebug failures of the probe read, expectation)
    "first_active_entry_is_booted": (
        [standard_entry(0, 0x00), standard_entry(1, 0x80), standard_entry(2, 0x80),
         standard_entry(3, 0x00)],
        standard_sectors(), 0, ("boot", 0x42, 0x07CE)),
    "only_last_entry_active_is_booted": (
        [standard_entry(0, 0x00), standard_entry(1, 0x00), standard_entry(2, 0x00),
         standard_entry(3, 0x80)],
        standard_sectors(), 0, ("boot", 0x44, 0x07EE)),
    "invalid_status_before_active_entry_is_missing_system": (
        [standard_entry(0, 0x01), standard_entry(1, 0x80), standard_entry(2, 0x00),
         standard_entry(3, 0x00)],
        standard_sectors(), 0, ("screen", MISSING)),
    "partition_sector_without_signature_is_missing_system": (
        [standard_entry(0, 0x80), standard_entry(1, 0x00), standard_entry(2, 0x00),
         standard_entry(3, 0x00)],
        standard_sectors(signed=False), 0, ("screen", MISSING)),
    "unreadable_partition_sector_is_load_error": (
        [entry(0x80, 1000, 1, 1), standard_entry(1, 0x00), standard_entry(2, 0x00),
         standard_entry(3, 0x00)],
        standard_sectors(), 0, ("screen", LOAD_ERROR)),
    "four_failed_reads_are_retried_and_boot": (
        [standard_entry(0, 0x80), standard_entry(1, 0x00), standard_entry(2, 0x00),
         standard_entry(3, 0x00)],
        standard_sectors(), 4, ("boot", 0x41, 0x07BE)),
    "five_failed_reads_are_load_error": (
        [standard_entry(0, 0x80), standard_entry(1, 0x00), standard_entry(2, 0x00),
         standard_entry(3, 0x00)],
        standard_sectors(), 5, ("screen", LOAD_ERROR)),
    "no_active_entry_hands_back_to_firmware": (
        [standard_entry(index, 0x00) for index in range(4)],
        standard_sectors(), 0, ("screen", "No bootable device")),
}


def blkdebug_config(path, failures, sector_lba):
    """Fails the first `failures` reads of the sector at `sector_lba` with EIO: one rule per
    failure, each used up by the read it fails (reads of other sectors pass them by)."""
    rule = ["[inject-error]", 'event = "read_aio"', 'errno = "5"',
            'sector = "%d"' % sector_lba, 'once = "on"', ""]
    with open(path, "w") as config:
        config.write("\n".join(rule * failures))


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
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()
        while True:
            reply = self.read()
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RuntimeError("QMP %s: %s" % (name, reply["error"]))


def screen_lines(path):
    with open(path, "rb") as dump:
        cells = dump.read()
    text = "".join(chr(cells[i]) if 32 <= cells[i] < 127 else " "
                   for i in range(0, len(cells), 2))
    return [text[row * 80:(row + 1) * 80].rstrip() for row in range(25)]


def run_case(tool, name, work):
    entries, sectors, failures, expectation = CASES[name]
    image = os.path.join(work, name + ".img")
    mbr = os.path.join(work, "mbr")
    subprocess.run([tool, mbr], check=True)
    with open(mbr, "rb") as source:
        sector0 = bytearray(source.read())
    if len(sector0) != SECTOR or sector0[510:512] != b"\x55\xaa":
        return "mbr-image wrote %d bytes without a signature" % len(sector0)
    for index, raw in enumerate(entries):
        sector0[TABLE + 16 * index:TABLE + 16 * (index + 1)] = raw
    with open(image, "wb") as disk:
        disk.truncate(CYLINDERS * HEADS * SECTORS * SECTOR)
        disk.seek(0)
        disk.write(sector0)
        for lba, data in sectors.items():
            disk.seek(lba * SECTOR)
            disk.write(data)

    serial = os.path.join(work, name + ".serial")
    dump = os.path.join(work, name + ".screen")
    if failures:
        config = os.path.join(work, name + ".blkdebug")
        blkdebug_config(config, failures, lba_of(0, 1, 1))
        drive = ("if=none,id=d0,format=raw,file.driver=blkdebug,file.config=%s,"
                 "file.image.filename=%s" % (config, image))
    else:
        drive = "if=none,id=d0,format=raw,file=%s" % image
    command = [
        QEMU, "-accel", "tcg", "-machine", "pc", "-m", "16", "-display", "none",
        "-nic", "none", "-no-reboot", "-boot", "order=c",
        "-drive", drive,
        "-device", "ide-hd,drive=d0,cyls=%d,heads=%d,secs=%d,bios-chs-trans=none"
        % (CYLINDERS, HEADS, SECTORS),
        "-serial", "file:" + serial,
        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
        "-qmp", "stdio",
    ]
    log_path = os.path.join(work, name + ".qemu.log")
    with open(log_path, "w") as log:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=log, text=True)
        try:
            problem = judge(process, expectation, serial, dump)
        except RuntimeError as error:
            problem = str(error)
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
    if problem:
        with open(log_path) as log:
            messages = log.read().strip()
        if messages:
            problem += "\nQEMU said:\n" + messages
    return problem


def judge(process, expectation, serial, dump):
    qmp = Qmp(process)
    deadline = time.monotonic() + DEADLINE_SECONDS
    lines = []
    while time.monotonic() < deadline:
        if process.poll() is not None:
            break
        try:
            qmp.command("pmemsave", val=SCREEN, size=SCREEN_BYTES, filename=dump)
        except (RuntimeError, OSError):
            break  # QEMU ended between the check and the command
        lines = screen_lines(dump)
        if expectation[0] == "screen" and any(expectation[1] in line for line in lines):
            break
        if expectation[0] == "boot" and any(MISSING in line or LOAD_ERROR in line
                                            for line in lines):
            deadline = time.monotonic()  # the boot code gave up: no probe will run
            break
        time.sleep(0.05)
    if expectation[0] == "boot":
        try:
            process.wait(timeout=max(0.5, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            return "no probe ran; screen:\n" + "\n".join(lines)
        with open(serial, "rb") as port:
            report = port.read()
        if process.returncode != DEBUG_EXIT_CODE:
            return "QEMU ended with %d, serial %r" % (process.returncode, report)
        wanted = bytes([ord("P"), expectation[1], expectation[2] & 0xFF, expectation[2] >> 8,
                        0x80])
        if report != wanted:
            return "probe reported %r, wanted %r" % (report, wanted)
        return None
    with open(serial, "rb") as port:
        report = port.read()
    if report:
        return "a probe ran although none should: %r" % report
    text = expectation[1]
    screen = "\n".join(lines)
    if text in (MISSING, LOAD_ERROR):
        # Our own message stands alone on its line.
        if text not in lines:
            return "%r not shown on a line of its own; screen:\n%s" % (text, screen)
    elif not any(text in line for line in lines):
        return "%r not shown; screen:\n%s" % (text, screen)
    for other in (MISSING, LOAD_ERROR):
        if other != text and other in screen:
            return "%r shown as well; screen:\n%s" % (other, screen)
    return None


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    if shutil.which(QEMU) is None:
        print("SKIP: %s is not installed" % QEMU)
        return 77
    tool = sys.argv[1]
    names = sys.argv[2:] or list(CASES)
    failed = 0
    with tempfile.TemporaryDirectory(prefix="mbr_boot_test.") as work:
        for name in names:
            started = time.monotonic()
            problem = run_case(tool, name, work)
            print("%s %s (%.2f s)" % ("FAIL" if problem else "ok  ", name,
                                     time.monotonic() - started), flush=True)
            if problem:
                print("  " + problem.replace("\n", "\n  "), flush=True)
                failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
