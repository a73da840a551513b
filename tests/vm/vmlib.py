# The VM harness: boots an install medium in QEMU (TCG) with the serial line as the installer's
# console, drives that console like an operator, changes floppies through the monitor, and reads
# the installed disk image from the host afterwards. Logs are written unbuffered to the work dir.
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
XZ_MAGIC = b"\xfd7zXZ\x00"
SECTOR = 512
ENTER = b"\r"  # what a terminal sends; the console's ICRNL turns it into "\n"
CTRL_C = b"\x03"


class VmError(Exception):
    pass


def skip_reason():
    """Why QEMU cannot run here, or None."""
    if shutil.which(QEMU) is None:
        return "%s is not installed" % QEMU
    if not os.path.exists(KERNEL):
        return "no kernel at %s" % KERNEL
    if not os.path.isdir(MODULES):
        return "no module tree at %s" % MODULES
    return None


def uncompressed_kernel(cache_dir):
    """The kernel's uncompressed ELF vmlinux (boots in about half the time of the bzImage under
    TCG), extracted once from the xz payload and cached in cache_dir."""
    os.makedirs(cache_dir, exist_ok=True)
    target = os.path.join(cache_dir, "vmlinux-" + os.path.basename(KERNEL))
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(KERNEL):
        return target
    with open(KERNEL, "rb") as f:
        image = f.read()
    start = image.find(XZ_MAGIC)
    if start < 0:
        return KERNEL  # not an xz kernel: boot the compressed one
    decompressor = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
    elf = decompressor.decompress(image[start:])
    if not elf.startswith(b"\x7fELF"):
        return KERNEL
    fd, temp = tempfile.mkstemp(dir=cache_dir)
    with os.fdopen(fd, "wb") as f:
        f.write(elf)
    os.replace(temp, target)
    return target


def blank_disk(path, mib):
    with open(path, "wb") as f:
        f.truncate(mib * 1024 * 1024)
    return path


_ESCAPE = re.compile(rb"\x1b(\[[0-9;?]*[ -/]*[@-~]|[@-Z\\-_])")


class ConsoleText:
    """Console output with escape sequences removed, kept across chunk boundaries."""

    def __init__(self):
        self.text = bytearray()
        self.pending = b""

    def feed(self, data):
        data = self.pending + data
        self.pending = b""
        last_escape = data.rfind(b"\x1b")
        if last_escape >= 0 and not _ESCAPE.match(data, last_escape):
            # an unfinished sequence at the end waits for its next bytes
            if len(data) - last_escape < 16:
                self.pending = data[last_escape:]
                data = data[:last_escape]
        self.text += _ESCAPE.sub(b"", data)


class Vm:
    """One QEMU run. Use start(), then expect()/send(), then wait_exit()."""

    def __init__(self, workdir, name, initrd, disk=None, floppy=None, echo=None):
        self.workdir, self.name, self.initrd = workdir, name, initrd
        self.disk, self.floppy = disk, floppy
        self.echo = echo  # a binary stream that sees the console output as it arrives
        self.process = self.console = self.reader = self.console_log = None
        self.screen = ConsoleText()
        self.position = 0
        self.last_match = None
        self.lock = threading.Condition()
        self.closed = False
        self.started_at = None
        os.makedirs(workdir, exist_ok=True)
        # Socket paths must stay under 108 bytes: they live in a short private directory.
        self.socket_dir = tempfile.mkdtemp(prefix="tvm-")
        self.serial_path = os.path.join(self.socket_dir, "serial")
        self.monitor_path = os.path.join(self.socket_dir, "monitor")
        self.console_log_path = os.path.join(workdir, name + ".console.log")
        # the second serial line: the installer's log terminal on media made with --log-serial
        self.log_terminal_path = os.path.join(workdir, name + ".tty9.log")
        self.harness_log = open(os.path.join(workdir, name + ".harness.log"), "ab", buffering=0)

    def log(self, message):
        stamp = "%8.3f " % (time.monotonic() - self.started_at) if self.started_at else "   -     "
        self.harness_log.write((stamp + message + "\n").encode())

    def command(self):
        kernel = uncompressed_kernel(os.path.join(os.path.dirname(self.workdir.rstrip("/")),
                                                  "kernel-cache"))
        args = [QEMU, "-accel", "tcg", "-m", "256", "-display", "none", "-no-reboot",
                "-nic", "none", "-kernel", kernel, "-initrd", self.initrd,
                "-append", "console=ttyS0 quiet panic=1",
                "-chardev", "socket,id=s0,path=%s,server=on,wait=on" % self.serial_path,
                "-serial", "chardev:s0",
                "-chardev", "file,id=s1,path=%s" % self.log_terminal_path,
                "-serial", "chardev:s1",
                "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path]
        if self.disk:
            args += ["-drive", "file=%s,format=raw,if=ide,index=0" % self.disk]
        if self.floppy:
            args += ["-drive", "file=%s,format=raw,if=floppy,index=0" % self.floppy]
        return args

    def start(self):
        for path in (self.serial_path, self.monitor_path):
            if os.path.exists(path):
                os.unlink(path)
        args = self.command()
        self.started_at = time.monotonic()
        self.log("start: " + " ".join(args))
        with open(os.path.join(self.workdir, self.name + ".qemu.log"), "wb") as qemu_log:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=qemu_log,
                                            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while True:
            if self.process.poll() is not None:
                raise VmError("QEMU ended at once (status %d), see %s.qemu.log" %
                              (self.process.returncode, self.name))
            try:
                self.console = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.console.connect(self.serial_path)
                break
            except OSError:
                self.console.close()
                if time.monotonic() > deadline:
                    raise VmError("QEMU's serial socket never appeared")
                time.sleep(0.05)
        self.console_log = open(self.console_log_path, "wb", buffering=0)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.log("console connected")

    def _read(self):
        while True:
            try:
                data = self.console.recv(4096)
            except OSError:
                data = b""
            if not data:
                with self.lock:
                    self.closed = True
                    self.lock.notify_all()
                return
            self.console_log.write(data)
            if self.echo:
                self.echo.write(data)
                self.echo.flush()
            with self.lock:
                self.screen.feed(data)
                self.lock.notify_all()

    def seconds(self):
        return time.monotonic() - self.started_at

    def expect(self, patterns, timeout=60):
        """Waits until one of the texts (str or compiled regex) shows up after the current
        position; moves the position behind it and returns the index of the pattern found."""
        if not isinstance(patterns, (list, tuple)):
            patterns = [patterns]
        compiled = [p if hasattr(p, "search") else re.compile(re.escape(p.encode()))
                    for p in patterns]
        names = [p.pattern if hasattr(p, "pattern") else p for p in patterns]
        self.log("expect %r" % (names,))
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                best = None
                for index, pattern in enumerate(compiled):
                    match = pattern.search(self.screen.text, self.position)
                    if match and (best is None or match.start() < best[1].start()):
                        best = (index, match)
                if best:
                    self.position = best[1].end()
                    self.last_match = best[1]
                    self.log("found %r" % (names[best[0]],))
                    return best[0]
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    tail = bytes(self.screen.text[max(self.position, len(self.screen.text) - 600):])
                    reason = "console closed" if self.closed else "timeout after %ds" % timeout
                    self.log("FAILED expect %r: %s" % (names, reason))
                    raise VmError("expected %r, %s; console after the last match:\n%s" %
                                  (names, reason, tail.decode(errors="replace")))
                self.lock.wait(min(left, 1.0))

    def search(self, pattern, start):
        """The first match of a compiled bytes pattern in the console text from start, or
        None; does not move the expect position."""
        with self.lock:
            return pattern.search(bytes(self.screen.text), start)

    def send(self, data, pause=0.05):
        """Sends key bytes one at a time, as a typist would."""
        self.log("send %r" % data)
        for byte in data:
            self.console.sendall(bytes([byte]))
            time.sleep(pause)

    def log_terminal(self):
        """What the installer wrote to its log terminal so far (media made with --log-serial)."""
        try:
            with open(self.log_terminal_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def monitor(self, command, timeout=10):
        """Runs one HMP command and returns its answer."""
        self.log("monitor: " + command)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.monitor_path)
            answer = b""
            while not answer.endswith(b"(qemu) "):
                answer += s.recv(4096)
            s.sendall(command.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        text = answer.decode(errors="replace")
        text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", text)
        self.log("monitor answer: %r" % text)
        return text

    def change_floppy(self, image):
        answer = self.monitor("change floppy0 %s raw" % image)
        if "rror" in answer:
            raise VmError("floppy change failed: " + answer)

    def wait_exit(self, timeout=60):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.log("QEMU did not end within %ds" % timeout)
            raise VmError("QEMU did not end within %ds" % timeout)
        self.log("QEMU ended with %d" % code)
        if self.reader:
            self.reader.join(5)
        return code

    def stop(self):
        if self.process and self.process.poll() is None:
            self.log("killing QEMU")
            self.process.kill()
            self.process.wait()
        if self.console:
            self.console.close()
        if self.reader:
            self.reader.join(5)
        if self.console_log:
            self.console_log.close()
        shutil.rmtree(self.socket_dir, ignore_errors=True)
        self.harness_log.close()


# --- The installed disk, read from the host -------------------------------------------------

def partitions(image):
    """The primary partition entries of an MBR disk image: list of dicts with index (1-4),
    type, boot flag, start and sectors (LBA). Empty slots are left out."""
    with open(image, "rb") as f:
        sector = f.read(SECTOR)
    if len(sector) < SECTOR or sector[510:512] != b"\x55\xaa":
        return []
    result = []
    for i in range(4):
        entry = sector[446 + 16 * i:446 + 16 * (i + 1)]
        kind = entry[4]
        start = int.from_bytes(entry[8:12], "little")
        count = int.from_bytes(entry[12:16], "little")
        if kind == 0 and count == 0:
            continue
        result.append({"index": i + 1, "type": kind, "boot": entry[0], "start": start,
                       "sectors": count})
    return result


def extract_tree(image, offset, destination):
    """Copies the whole file system of the partition at byte offset into destination with
    debugfs (no mount, no loop device). Returns True when debugfs could read it."""
    os.makedirs(destination, exist_ok=True)
    result = subprocess.run(["debugfs", "-R", "rdump / %s" % destination,
                             "%s?offset=%d" % (image, offset)], capture_output=True)
    return result.returncode == 0 and b"Bad magic" not in result.stderr and \
        b"not found" not in result.stderr


def _superblock(image, offset):
    with open(image, "rb") as f:
        f.seek(offset + 1024)
        sb = f.read(1024)
    return sb if len(sb) == 1024 and sb[56:58] == b"\x53\xef" else None


def file_system_kind(image, offset):
    """'ext3' (journal), 'ext2', 'ext4' (extents) or None, from the superblock."""
    sb = _superblock(image, offset)
    if sb is None:
        return None
    if int.from_bytes(sb[96:100], "little") & 0x40:
        return "ext4"
    return "ext3" if int.from_bytes(sb[92:96], "little") & 0x4 else "ext2"


def cleanly_unmounted(image, offset):
    """True when the ext2/ext3 file system at offset was unmounted cleanly: state valid and, with
    a journal, no recovery pending."""
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
