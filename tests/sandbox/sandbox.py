"""Runs the static installer as PID 1 of fresh PID, mount, network and UTS namespaces,
chrooted into a staged root, with a pseudo-terminal as its console.

A test stages the root (the installer under any name, /TYPE, /dev nodes, tools), starts it,
waits for text and sends keys. The installer's reboot() ends the PID namespace: `unshare`
then exits with 129 (its init killed by SIGHUP), which is how a test sees the reboot.
"""

import os
import pty
import select
import shutil
import signal
import stat
import subprocess
import tempfile
import time

REBOOT_EXIT = 129  # unshare's status when reboot() killed the namespace's init with SIGHUP


def skip_reason():
    """Why sandbox tests cannot run here, or None."""
    if os.geteuid() != 0:
        return "sandbox tests need root (namespaces, mounts, device nodes)"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    return None


def copy_with_libraries(program, root, target=None):
    """Copies an ELF program into the staged root with the shared libraries ldd names."""
    target = target or program
    dest = os.path.join(root, target.lstrip("/"))
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copy2(program, dest)
    result = subprocess.run(["ldd", program], capture_output=True, text=True)
    for line in result.stdout.splitlines():
        parts = line.split()
        path = None
        if "=>" in parts:
            index = parts.index("=>")
            if index + 1 < len(parts) and parts[index + 1].startswith("/"):
                path = parts[index + 1]
        elif parts and parts[0].startswith("/"):
            path = parts[0]
        if path and os.path.exists(path):
            lib_dest = os.path.join(root, path.lstrip("/"))
            os.makedirs(os.path.dirname(lib_dest), exist_ok=True)
            if not os.path.exists(lib_dest):
                shutil.copy2(os.path.realpath(path), lib_dest)


class Sandbox:
    """One staged root and one run of the installer in it."""

    def __init__(self, installer, name="/sbin/init", type_text=None, args=(), text_console=True):
        self.installer = installer
        self.name = name
        self.type_text = type_text
        self.args = list(args)
        self.text_console = text_console
        self.workdir = tempfile.mkdtemp(prefix="trenavox-sandbox-")
        self.root = os.path.join(self.workdir, "root")
        self.output = b""
        self.pid = None
        self.fd = None
        self.status = None
        self.stage()

    # --- staging -----------------------------------------------------------------------
    def path(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def write_file(self, inside, data, mode=0o644):
        dest = self.path(inside)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        os.chmod(dest, mode)

    def stage(self):
        for d in ("sbin", "bin", "dev", "proc", "mnt", "floppy", "tmp", "etc"):
            os.makedirs(self.path(d), exist_ok=True)
        dest = self.path(self.name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy2(self.installer, dest)
        if self.type_text is not None:
            self.write_file("/TYPE", self.type_text)
        os.mknod(self.path("/dev/null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
        os.mknod(self.path("/dev/zero"), stat.S_IFCHR | 0o666, os.makedev(1, 5))
        # The log terminal is a plain file here, so a test can read what tools wrote.
        self.write_file("/dev/tty9", b"", 0o666)
        if self.text_console:
            # Any file that opens for writing stands for the text console.
            self.write_file("/dev/tty0", b"", 0o666)
        # /dev/ttyS0 is a bind mount of the pseudo-terminal, made inside the namespace.
        self.write_file("/dev/ttyS0", b"", 0o666)

    def add_busybox(self):
        """A static busybox as /bin/busybox with /bin/sh, for tools written as scripts."""
        shutil.copy2("/bin/busybox", self.path("/bin/busybox"))
        if not os.path.exists(self.path("/bin/sh")):
            os.symlink("busybox", self.path("/bin/sh"))

    def log_text(self):
        with open(self.path("/dev/tty9"), "rb") as f:
            return f.read()

    # --- running -----------------------------------------------------------------------
    def start(self):
        """Starts the installer; its console is this object's pseudo-terminal."""
        master, slave = pty.openpty()
        tty_path = os.ttyname(slave)
        # Inside: bind the terminal to /dev/ttyS0, then become the installer (PID 1) in the root.
        # With no text console the installer starts with /dev/null as its streams, so the only
        # way to talk to it is the serial line it must find itself.
        redirect = "" if self.text_console else "</dev/null >/dev/null 2>&1"
        script = ('root=$1; shift; mount --bind "$0" "$root/dev/ttyS0" && exec chroot "$root" "$@" '
                  + redirect)
        command = ["unshare", "--pid", "--fork", "--mount", "--net", "--uts", "--kill-child",
                   "--", "/bin/sh", "-c", script, tty_path, self.root, self.name] + self.args
        pid = os.fork()
        if pid == 0:
            try:
                os.close(master)
                os.setsid()
                # The pseudo-terminal becomes the controlling terminal, so Ctrl-C raises SIGINT.
                import fcntl
                import termios
                fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
                for fd in (0, 1, 2):
                    os.dup2(slave, fd)
                if slave > 2:
                    os.close(slave)
                # Only the installer handles the interrupt; unshare and the shell ignore it.
                signal.signal(signal.SIGINT, signal.SIG_IGN)
                os.execvp(command[0], command)
            finally:
                os._exit(127)
        os.close(slave)
        self.pid = pid
        self.fd = master
        return self

    def _read_some(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            data = b""
        if not data:
            return None
        self.output += data
        return True

    def expect(self, text, timeout=15.0, start=0):
        """Waits until `text` appears in the output after offset `start`; returns its end."""
        needle = text.encode() if isinstance(text, str) else text
        deadline = time.monotonic() + timeout
        while True:
            index = self.output.find(needle, start)
            if index >= 0:
                return index + len(needle)
            left = deadline - time.monotonic()
            if left <= 0 or self._read_some(min(left, 0.5)) is None and self._exited():
                raise AssertionError("timed out waiting for %r; output so far:\n%s"
                                     % (text, self.output.decode(errors="replace")))

    def _exited(self):
        if self.status is not None:
            return True
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == self.pid:
            self.status = status
            return True
        return False

    def send(self, data):
        os.write(self.fd, data.encode() if isinstance(data, str) else data)

    def wait_exit(self, timeout=15.0):
        """Waits for the namespace to end; returns unshare's exit code (129 after a reboot)."""
        deadline = time.monotonic() + timeout
        while not self._exited():
            if time.monotonic() > deadline:
                raise AssertionError("the installer did not end; output:\n%s"
                                     % self.output.decode(errors="replace"))
            self._read_some(0.1)
        while self._read_some(0.05):
            pass
        # unshare passes a signal death of the namespace's init on by raising it itself; report
        # it as a shell would (128 + signal), so a reboot reads as 129 either way.
        if os.WIFSIGNALED(self.status):
            return 128 + os.WTERMSIG(self.status)
        return os.WEXITSTATUS(self.status)

    def namespace_processes(self):
        """(ns pid, exe name) of every process in the sandbox's PID namespace, as seen now."""
        init = self._namespace_init()
        found = []
        todo = [init] if init else []
        while todo:
            pid = todo.pop()
            try:
                with open("/proc/%d/status" % pid) as f:
                    nspid = [l.split()[-1] for l in f if l.startswith("NSpid:")][0]
                exe = os.path.basename(os.readlink("/proc/%d/exe" % pid))
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    todo += [int(c) for c in f.read().split()]
            except (OSError, IndexError):
                continue
            found.append((int(nspid), exe))
        return sorted(found)

    def _namespace_init(self):
        # Our child is unshare; its child is the namespace's init.
        try:
            with open("/proc/%d/task/%d/children" % (self.pid, self.pid)) as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            return None
        return children[0] if children else None

    def close(self):
        if self.status is None and self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                os.waitpid(self.pid, 0)
            except ChildProcessError:
                pass
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
