# The VM harness: boots an install medium in QEMU (TCG) with the serial line as the installer's
# console, drives that console like an operator, changes floppies through the monitor, and reads
# the installed disk image from the host afterwards. The console is logged in the work dir.
import lzma
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

KERNEL = "/boot/vmlinuz-6.1.0-57-amd64"
MODULES = "/lib/modules/6.1.0-57-amd64"
QEMU = "qemu-system-x86_64"
SECTOR = 512
ENTER = b"\r"  # what a terminal sends; the console's ICRNL turns it into "\n"
CTRL_C = b"\x03"
GUEST_MAC = "52:54:00:12:34:56"  # the network card of a VM on a TAP device


def skip_reason():
    """Why QEMU cannot run here, or None."""
    missing = [p for p in (KERNEL, MODULES) if not os.path.exists(p)] + [QEMU] * (
        shutil.which(QEMU) is None)
    return "missing: " + " ".join(missing) if missing else None


def uncompressed_kernel(cache_dir):
    """The kernel's ELF vmlinux, cached: under TCG it boots in about half the bzImage's time."""
    target = os.path.join(cache_dir, "vmlinux-" + os.path.basename(KERNEL))
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(KERNEL):
        with open(KERNEL, "rb") as f:
            image = f.read()
        os.makedirs(cache_dir, exist_ok=True)
        fd, temp = tempfile.mkstemp(dir=cache_dir)  # VM tests run side by side
        with os.fdopen(fd, "wb") as f:
            f.write(lzma.LZMADecompressor().decompress(image[image.find(b"\xfd7zXZ\x00"):]))
        os.replace(temp, target)
    return target


def blank_disk(path, mib):
    with open(path, "wb") as f:
        f.truncate(mib << 20)
    return path


# Escape sequences; an unfinished one at the end stays until its next bytes make it whole, and
# the text before it never changes: positions in the text stay valid as the console grows.
_ESCAPE = re.compile(rb"\x1b(\[[0-9;?]*[ -/]*[@-~]|[@-Z\\-_])")


class Vm:
    """One QEMU run. Use start(), then expect()/send(), then wait_exit()."""

    def __init__(self, workdir, name, initrd, disk=None, floppy=None, echo=None, tap=None):
        self.workdir, self.name, self.initrd = workdir, name, initrd
        self.disk, self.floppy, self.echo = disk, floppy, echo  # echo sees the console output
        self.tap = tap  # (network namespace, TAP device): an e1000 card on it, QEMU run inside
        self.process = self.console = self.reader = self.console_log = self.last_match = None
        self.raw, self.position, self.closed = bytearray(), 0, False
        self.lock = threading.Condition()
        os.makedirs(workdir, exist_ok=True)
        # Socket paths must stay under 108 bytes: they live in a short private directory.
        self.socket_dir = tempfile.mkdtemp(prefix="tvm-")
        self.serial_path = os.path.join(self.socket_dir, "serial")
        self.monitor_path = os.path.join(self.socket_dir, "monitor")
        self.console_log_path = os.path.join(workdir, name + ".console.log")
        # the second serial line: the installer's log terminal on media made with --log-serial
        self.log_terminal_path = os.path.join(workdir, name + ".tty9.log")

    def start(self):
        kernel = uncompressed_kernel(os.path.join(os.path.dirname(self.workdir.rstrip("/")),
                                                  "kernel-cache"))
        prefix, nic = [], ["-nic", "none"]
        if self.tap:
            prefix = ["ip", "netns", "exec", self.tap[0]]
            nic = ["-netdev", "tap,id=n0,ifname=%s,script=no,downscript=no" % self.tap[1],
                   "-device", "e1000,netdev=n0,mac=" + GUEST_MAC]
        args = prefix + [
                QEMU, "-accel", "tcg", "-m", "256", "-display", "none", "-no-reboot",
                "-kernel", kernel, "-initrd", self.initrd, "-append", "console=ttyS0 quiet panic=1",
                "-chardev", "socket,id=s0,path=" + self.serial_path, "-serial", "chardev:s0",
                "-chardev", "file,id=s1,path=" + self.log_terminal_path, "-serial", "chardev:s1",
                "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path] + nic
        for image, interface in ((self.disk, "ide"), (self.floppy, "floppy")):
            if image:
                args += ["-drive", "file=%s,format=raw,if=%s,index=0" % (image, interface)]
        # QEMU connects to the console's socket as it starts: no race with its start-up.
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
            listener.bind(self.serial_path)
            listener.listen(1)
            listener.settimeout(30)
            self.started_at = time.monotonic()
            with open(os.path.join(self.workdir, self.name + ".qemu.log"), "wb") as qemu_log:
                self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=qemu_log,
                                                stderr=subprocess.STDOUT)
            self.console, _ = listener.accept()
            self.console.settimeout(None)
        self.console_log = open(self.console_log_path, "wb", buffering=0)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = self.console.recv(4096)
            except OSError:
                data = b""
            for sink in (self.console_log, self.echo) if data else ():
                if sink:
                    sink.write(data)
                    sink.flush()
            with self.lock:
                self.raw += data
                self.closed = not data
                self.lock.notify_all()
            if not data:
                return

    def seconds(self):
        return time.monotonic() - self.started_at

    def text(self):
        """The console output so far without escape sequences."""
        return _ESCAPE.sub(b"", bytes(self.raw))

    def expect(self, patterns, timeout=60):
        """Waits until one of the texts (str or compiled regex) shows up after the current
        position; moves the position behind it and returns the index of the pattern found."""
        if not isinstance(patterns, (list, tuple)):
            patterns = [patterns]
        compiled = [p if hasattr(p, "search") else re.compile(re.escape(p.encode()))
                    for p in patterns]
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                text = self.text()
                found = [(m.start(), i, m) for i, m in
                         ((i, p.search(text, self.position))
                          for i, p in enumerate(compiled)) if m]
                if found:
                    _, index, self.last_match = min(found, key=lambda f: f[:2])
                    self.position = self.last_match.end()
                    return index
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    tail = text[max(self.position, len(text) - 600):]
                    reason = "console closed" if self.closed else "timeout after %ds" % timeout
                    raise RuntimeError("expected %r, %s; console after the last match:\n%s" %
                                       (patterns, reason, tail.decode(errors="replace")))
                self.lock.wait(min(left, 1.0))

    def search(self, pattern, start):
        """The first match of a compiled bytes pattern from start, leaving expect's position."""
        with self.lock:
            return pattern.search(self.text(), start)

    def send(self, data, pause=0.05):
        """Sends key bytes one at a time, as a typist would."""
        for byte in data:
            self.console.sendall(bytes([byte]))
            time.sleep(pause)

    def change_floppy(self, image):
        """Swaps the floppy through one HMP command."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.monitor_path)
            answer = b""
            for send in (b"", b"change floppy0 %s raw\n" % image.encode()):
                s.sendall(send)
                answer = b""
                while not answer.endswith(b"(qemu) "):
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
        if b"rror" in answer:
            raise RuntimeError("floppy change failed: " + answer.decode(errors="replace"))

    def wait_exit(self, timeout=60):
        code = self.process.wait(timeout)
        self.reader.join(5)
        return code

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for closable in (self.console, self.console_log):
            if closable:
                closable.close()
        if self.reader:
            self.reader.join(5)
        shutil.rmtree(self.socket_dir, ignore_errors=True)


# --- The installed disk, read from the host -------------------------------------------------

def partitions(image):
    """The used primary entries of an MBR disk image as dicts: index (1-4), type, boot, start
    and sectors (LBA)."""
    with open(image, "rb") as f:
        sector = f.read(SECTOR)
    if len(sector) < SECTOR or sector[510:512] != b"\x55\xaa":
        return []
    result = []
    for i in range(4):
        entry = sector[446 + 16 * i:462 + 16 * i]
        start, count = int.from_bytes(entry[8:12], "little"), int.from_bytes(entry[12:], "little")
        if entry[4] or count:
            result.append({"index": i + 1, "type": entry[4], "boot": entry[0], "start": start,
                           "sectors": count})
    return result


def extract_tree(image, offset, destination):
    """Copies the file system of the partition at byte offset into destination with debugfs (no
    mount, no loop device). True when debugfs could read it."""
    os.makedirs(destination, exist_ok=True)
    result = subprocess.run(["debugfs", "-R", "rdump / " + destination,
                             "%s?offset=%d" % (image, offset)], capture_output=True)
    return result.returncode == 0 and not re.search(rb"Bad magic|not found", result.stderr)


def _superblock(image, offset):
    with open(image, "rb") as f:
        f.seek(offset + 1024)
        sb = f.read(1024)
    return sb if len(sb) == 1024 and sb[56:58] == b"\x53\xef" else None


def file_system_kind(image, offset):
    """'ext4' (extents), 'ext3' (journal), 'ext2' or None, from the superblock."""
    sb = _superblock(image, offset)
    if sb is None:
        return None
    if sb[96] & 0x40:
        return "ext4"
    return "ext3" if sb[92] & 0x4 else "ext2"


def cleanly_unmounted(image, offset):
    """True when the ext2/ext3 file system at offset is valid with no journal recovery pending."""
    sb = _superblock(image, offset)
    return sb is not None and bool(sb[58] & 0x1) and not sb[96] & 0x4


def tree_listing(root):
    """path -> ('d',) | ('l', target) | ('f', bytes, mode) for everything under root."""
    listing = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = "/" + os.path.relpath(full, root)
            if os.path.islink(full):
                listing[rel] = ("l", os.readlink(full))
            elif os.path.isdir(full):
                listing[rel] = ("d",)
            else:
                with open(full, "rb") as f:
                    listing[rel] = ("f", f.read(), os.stat(full).st_mode & 0o7777)
    return listing
