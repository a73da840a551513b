# The sample package set (examples/packages) built with qpk, its floppy set built with
# mkfloppyset, and what an installed disk must then hold. Shared by the VM tests and the demo.
import os
import re
import shutil
import subprocess
import tempfile

import vmlib

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(SOURCE_DIR, "examples", "packages")
BUSYBOX = "/bin/busybox"
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
    return result.stdout


def stage_tree(name, stage_root):
    """A copy of examples/packages/NAME ready for qpk, with the files that are not kept in
    the source tree (the base package's busybox) added."""
    stage = os.path.join(stage_root, name)
    if os.path.exists(stage):
        shutil.rmtree(stage)
    shutil.copytree(os.path.join(EXAMPLES, name), stage, symlinks=True)
    if name == "base":
        shutil.copyfile(BUSYBOX, os.path.join(stage, "bin", "busybox"))
        os.chmod(os.path.join(stage, "bin", "busybox"), 0o755)
    return stage


def build_packages(qpk, out_dir, names=SAMPLE_PACKAGES):
    """Builds the sample packages; returns their .qpk paths in install order."""
    os.makedirs(out_dir, exist_ok=True)
    stage_root = os.path.join(out_dir, "stage")
    paths = []
    for name in names:
        stage = stage_tree(name, stage_root)
        target = os.path.join(out_dir, name + ".qpk")
        _run([qpk, "build", stage, "-o", target, "--mtime", "0"])
        paths.append(target)
    return paths


def expected_files(names=SAMPLE_PACKAGES):
    """path -> ('d',) | ('l', target) | ('f', bytes, mode): what the packages put on disk."""
    expected = {}
    with tempfile.TemporaryDirectory() as temp:
        for name in names:
            stage = stage_tree(name, temp)
            listing = vmlib.tree_listing(stage)
            listing.pop("/.PKGINFO", None)
            expected.update(listing)
    return expected


def build_floppy_set(mkfloppyset, packages, out_dir, capacity):
    """Runs mkfloppyset; returns the part file paths in order."""
    if os.path.exists(out_dir):
        shutil.rmtree(out_dir)
    _run([mkfloppyset, "-o", out_dir, "--set-id", "5a17e501", "--capacity", str(capacity)] +
         list(packages))
    return sorted(os.path.join(out_dir, f) for f in os.listdir(out_dir)
                  if re.match(r"^trenavox\.n\d\d$", f))


def part_layout(part_file):
    """(blockSize, groupBlocks, parityBlocks, partSize) from a part file's header."""
    with open(part_file, "rb") as f:
        header = f.read(32)

    def u16(offset):
        return int.from_bytes(header[offset:offset + 2], "little")
    return u16(16), u16(18), u16(20), int.from_bytes(header[4:8], "little")


def damage_blocks(part_file, target_file, group, blocks):
    """Copies a part file and flips one byte in each of the given blocks of one group."""
    block_size, group_blocks, _, _ = part_layout(part_file)
    with open(part_file, "rb") as f:
        data = bytearray(f.read())
    for block in blocks:
        offset = 32 + (group * group_blocks + block) * block_size + 7
        if offset >= len(data):
            raise ValueError("part file %s has no block %d in group %d" % (part_file, block,
                                                                           group))
        data[offset] ^= 0x5A
    with open(target_file, "wb") as f:
        f.write(bytes(data))
    return target_file
