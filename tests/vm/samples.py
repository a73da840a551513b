# The sample package set (examples/packages) built with qpk, its floppy set built with
# mkfloppyset, and what an installed disk must then hold. Shared by the VM tests and the demo.
import os
import re
import shutil
import subprocess
import tempfile

import vmlib

SOURCE_DIR = os.environ.get("TRENAVOX_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# In install order: each needs only those before it.
SAMPLE_PACKAGES = ["base", "router", "webui"]
# Files the installer and the sample post-install step write beside the packages' own.
INSTALLER_FILES = re.compile(
    r"^/(etc/lilo\.conf|etc/fstab|\.nofsck|var/pdb(/.*)?|var/log/postinstall\.log|"
    r"lost\+found|bin/(ls|cat|mount|umount|echo|mkdir|rm))$")


def _run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                   (result.stderr or result.stdout).strip()))


def stage_tree(name, stage_root):
    """A copy of examples/packages/NAME ready for qpk, plus the base package's busybox, which
    the source tree does not keep."""
    stage = os.path.join(stage_root, name)
    shutil.rmtree(stage, ignore_errors=True)
    shutil.copytree(os.path.join(SOURCE_DIR, "examples", "packages", name), stage, symlinks=True)
    if name == "base":
        shutil.copyfile("/bin/busybox", os.path.join(stage, "bin", "busybox"))
        os.chmod(os.path.join(stage, "bin", "busybox"), 0o755)
    return stage


def build_packages(qpk, out_dir):
    """Builds the sample packages; returns their .qpk paths in install order."""
    paths = [os.path.join(out_dir, name + ".qpk") for name in SAMPLE_PACKAGES]
    for name, target in zip(SAMPLE_PACKAGES, paths):
        _run([qpk, "build", stage_tree(name, os.path.join(out_dir, "stage")), "-o", target,
              "--mtime", "0"])
    return paths


def expected_files(names=SAMPLE_PACKAGES):
    """path -> ('d',) | ('l', target) | ('f', bytes, mode): what the packages put on disk."""
    expected = {}
    with tempfile.TemporaryDirectory() as temp:
        for name in names:
            expected.update(vmlib.tree_listing(stage_tree(name, temp)))
    expected.pop("/.PKGINFO", None)
    return expected


def build_floppy_set(mkfloppyset, packages, out_dir, capacity):
    """Runs mkfloppyset; returns the part file paths in order."""
    shutil.rmtree(out_dir, ignore_errors=True)
    _run([mkfloppyset, "-o", out_dir, "--set-id", "5a17e501", "--capacity", str(capacity)] +
         list(packages))
    return sorted(os.path.join(out_dir, f) for f in os.listdir(out_dir)
                  if re.match(r"^trenavox\.n\d\d$", f))
