# The demo's driver (run by scripts/demo): builds the sample packages, their floppy set and a
# floppy medium, boots it in QEMU and either plays the operator (the user watches the console)
# or hands the console to the user; afterwards shows what landed on the disk.
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import termios
import time
import tty

# The VM harness and the sample packages are the VM tests' own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "vm"))
import samples  # noqa: E402
import vmlib  # noqa: E402

SOURCE_DIR = samples.SOURCE_DIR
MKMEDIA = os.path.join(SOURCE_DIR, "tools", "mkmedia", "mkmedia")
PART_CAPACITY = 450000  # the sample payload then needs three floppies
ESCAPE_KEY = 0x1d       # Ctrl-]


def say(text):
    sys.stdout.write("\n\x1b[1;36m[demo] %s\x1b[0m\n" % text)
    sys.stdout.flush()


def build_medium(args, work):
    say("making the sample packages with qpk")
    packages = samples.build_packages(args.qpk, os.path.join(work, "packages"))
    for p in packages:
        print("  %-12s %8d bytes" % (os.path.basename(p), os.path.getsize(p)))
    say("making the floppy set with mkfloppyset")
    parts = samples.build_floppy_set(args.mkfloppyset, packages, os.path.join(work, "set"),
                                     capacity=PART_CAPACITY)
    say("making the floppy medium with mkmedia")
    command = [sys.executable, MKMEDIA, "--kind", "floppy", "--log-serial", "-o",
               os.path.join(work, "medium"), "--installer", args.installer,
               "--sfdisk-compat", args.sfdisk_compat]
    for part in parts:
        command += ["--floppy-part", part]
    subprocess.run(command, check=True)
    medium = os.path.join(work, "medium")
    floppies = [os.path.join(medium, "set-%02u.img" % i) for i in range(len(parts))]
    return medium, floppies


# "Please insert Nth installation floppy.": floppy N holds part N - 2 (the boot floppy is 1st).
PROMPT = re.compile(rb"Please insert (\d+)(st|nd|rd|th) installation floppy\.")


def scripted(vm, floppies, pause):
    def step(seconds=pause):
        time.sleep(seconds)

    vm.expect("Do you want to keep old configuration? ", 120)
    vm.expect("[y/n]", 10)
    step()
    vm.send(b"n")
    vm.expect("Continue?", 30)
    vm.expect("[y/n]", 10)
    step()
    vm.send(b"y")
    while True:
        index = vm.expect([PROMPT, "Software installed.", "FATAL ERROR", "Press ENTER to reboot"],
                          600)
        if index == 0:
            part = int(vm.last_match.group(1)) - 2
            vm.expect("Press ENTER when ready", 10)
            step()
            if part is not None and 0 <= part < len(floppies):
                vm.change_floppy(floppies[part])
                say("operator puts floppy %d of the set (%s) in the drive and presses Enter" %
                    (part + 1, os.path.basename(floppies[part])))
            step(pause / 2)
            vm.send(vmlib.ENTER)
        elif index == 1:
            break
        else:
            say("the installation failed")
            break
    vm.expect("Press ENTER to reboot", 60)
    step()
    vm.send(vmlib.ENTER)
    vm.wait_exit(120)


def interactive(vm, floppies):
    """The user's keyboard goes to the serial console; the demo changes floppies when the
    installer asks for one. Ctrl-] then q ends the VM."""
    say("interactive: type for the installer; the floppy it asks for is inserted for you; "
        "Ctrl-] q quits")
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd) if os.isatty(fd) else None
    if saved:
        tty.setraw(fd)
    seen = 0
    escape = False
    try:
        while vm.process.poll() is None:
            ready, _, _ = select.select([fd], [], [], 0.2)
            match = vm.search(PROMPT, seen)
            if match:
                seen = match.end()
                part = int(match.group(1)) - 2
                if 0 <= part < len(floppies):
                    vm.change_floppy(floppies[part])
                    sys.stdout.write("\r\n[demo: set floppy %d is now in the drive]\r\n" %
                                     (part + 1))
                    sys.stdout.flush()
            if fd in ready:
                data = os.read(fd, 64)
                if not data:
                    break
                for byte in data:
                    if escape:
                        escape = False
                        if byte in (ord("q"), ord("Q")):
                            vm.stop()
                            return
                        continue
                    if byte == ESCAPE_KEY:
                        escape = True
                        continue
                    vm.console.sendall(bytes([byte]))
    finally:
        if saved:
            termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def show_disk(disk, work):
    say("what landed on the disk (%s)" % disk)
    table = vmlib.partitions(disk)
    if not table:
        print("  no partition table")
        return
    for p in table:
        print("  partition %d: type 0x%02x, start sector %d, %d sectors (%.1f MiB)" %
              (p["index"], p["type"], p["start"], p["sectors"], p["sectors"] / 2048.0))
    root = os.path.join(work, "installed")
    if os.path.exists(root):
        shutil.rmtree(root)
    first = table[0]
    offset = first["start"] * vmlib.SECTOR
    print("  file system on partition 1: %s" % vmlib.file_system_kind(disk, offset))
    if not vmlib.extract_tree(disk, offset, root):
        print("  (debugfs could not read it)")
        return
    for name in ("etc/lilo.conf", "etc/fstab", "var/log/postinstall.log"):
        path = os.path.join(root, name)
        if os.path.exists(path):
            print("  --- /%s" % name)
            with open(path, errors="replace") as f:
                for line in f.read().splitlines():
                    print("      " + line)
    print("  --- files")
    listing = vmlib.tree_listing(root)
    for path in sorted(listing):
        entry = listing[path]
        if entry[0] == "f":
            print("      %-36s %8d bytes  %04o" % (path, len(entry[1]), entry[2]))
        elif entry[0] == "l":
            print("      %-36s -> %s" % (path, entry[1]))
    pdb = os.path.join(root, "var", "pdb")
    if os.path.isdir(pdb):
        print("  --- installed packages (/var/pdb): %s" % " ".join(sorted(os.listdir(pdb))))


def main():
    parser = argparse.ArgumentParser(description="Trenavox installer demo in QEMU")
    parser.add_argument("--interactive", action="store_true")
    parser.add_argument("--installer", required=True)
    parser.add_argument("--qpk", required=True)
    parser.add_argument("--mkfloppyset", required=True)
    parser.add_argument("--sfdisk-compat", required=True, help="the medium's sfdisk")
    parser.add_argument("--work", required=True)
    parser.add_argument("--pause", type=float, default=1.0, help="operator's pause (seconds)")
    parser.add_argument("--started-at", type=float, help="epoch time the demo command started")
    args = parser.parse_args()

    reason = vmlib.skip_reason()
    if reason:
        print("demo: cannot run a VM here: " + reason, file=sys.stderr)
        return 1
    os.makedirs(args.work, exist_ok=True)
    medium, floppies = build_medium(args, args.work)
    disk = vmlib.blank_disk(os.path.join(args.work, "disk.img"), 64)
    say("booting the floppy medium in QEMU (TCG) with a blank 64 MiB disk")
    vm = vmlib.Vm(os.path.join(args.work, "vm"), "demo",
                  os.path.join(medium, "initramfs.cpio.gz"), disk=disk,
                  floppy=os.path.join(medium, "boot.img"), echo=sys.stdout.buffer)
    vm.start()
    try:
        vm.expect("Welcome to Trenavox Router Software", 120)
        now = time.time()
        first_screen = vm.seconds()
        if args.started_at:
            timing = "first installer screen %.1f s after boot, %.1f s after the demo started" % (
                first_screen, now - args.started_at)
        else:
            timing = "first installer screen %.1f s after boot" % first_screen
        with open(os.path.join(args.work, "first-screen.txt"), "w") as f:
            f.write(timing + "\n")
        if args.interactive:
            interactive(vm, floppies)
        else:
            scripted(vm, floppies, args.pause)
    finally:
        vm.stop()
    say(timing)
    show_disk(disk, args.work)
    say("logs: %s" % os.path.join(args.work, "vm"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
