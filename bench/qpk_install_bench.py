#!/usr/bin/python3
# Benchmark of package installation: `qpk install` of a package set against `tar -xzf` (GNU tar
# with gzip) of the same content into the same file system, in one run. Reports the wall-time
# and CPU-time ratios and the installing process's peak RSS, for the whole set and for one
# package a tenth of its size (the RSS must not grow with package size).
# Needs /usr/bin/time (Debian package time).
# Usage: qpk_install_bench.py --qpk PATH [--work DIR] [--mb 200] [--runs 3] [--tmpfs]
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

PACKAGES = 8  # the set is split into this many packages


def write_tree(root, total_mb, seed):
    """Thousands of small text-like files and a few large ones, deterministic."""
    rng = random.Random(seed)
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
             for _ in range(5000)]
    text = ' '.join(rng.choice(words) for _ in range(200000)).encode()  # about 1.2 MB
    text = text * 2
    total = total_mb << 20
    large_share = total * 55 // 100
    small_total = total - large_share
    written = 0
    n = 0
    while written < small_total:
        pkg = n % PACKAGES
        d = os.path.join(root, 'pkg%d' % pkg, 'usr', 'share', 'd%03d' % (n // 40 % 997))
        os.makedirs(d, exist_ok=True)
        size = rng.choice([300, 900, 2500, 6000, 12000, 30000])
        off = rng.randrange(0, len(text) - size)
        with open(os.path.join(d, 'f%05d.txt' % n), 'wb') as f:
            f.write(text[off:off + size])
        written += size
        n += 1
    # Large files: text, half-compressible binary, random.
    large = [large_share * 4 // 10, large_share * 3 // 10, large_share * 3 // 10]
    for i, size in enumerate(large):
        d = os.path.join(root, 'pkg%d' % (i % PACKAGES), 'usr', 'lib')
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, 'large%d.bin' % i), 'wb') as f:
            left = size
            while left > 0:
                piece = min(left, 1 << 20)
                if i == 0:
                    off = rng.randrange(0, len(text) - piece)
                    f.write(text[off:off + piece])
                elif i == 1:
                    f.write(bytes(rng.getrandbits(4) for _ in range(piece // 64)) * 64)
                else:
                    f.write(os.urandom(piece))
                left -= piece
    return n + len(large)


def build(qpk, tree, out_dir):
    """One .qpk and one .tar.gz per package directory."""
    qpks, tars = [], []
    for name in sorted(os.listdir(tree)):
        src = os.path.join(tree, name)
        with open(os.path.join(src, '.PKGINFO'), 'w') as f:
            f.write('pkgname = %s\npkgver = 1\npkgdesc = bench\n' % name)
        q = os.path.join(out_dir, name + '.qpk')
        subprocess.run([qpk, 'build', src, '-o', q, '--level', '6'], check=True)
        t = os.path.join(out_dir, name + '.tar.gz')
        subprocess.run(['tar', '--format=ustar', '-C', src, '-czf', t, '.'], check=True)
        qpks.append(q)
        tars.append(t)
    return qpks, tars


def run(argv, report):
    """Runs one process under /usr/bin/time (a small process to fork from, so the peak RSS is the
    program's own, not a copy of this interpreter); returns (wall s, cpu s, peak RSS KiB),
    children included."""
    start = time.monotonic()
    subprocess.run(['/usr/bin/time', '-f', '%U %S %M', '-o', report] + argv, check=True)
    wall = time.monotonic() - start
    with open(report) as f:
        user, system, rss = f.read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--qpk', required=True)
    ap.add_argument('--work', default='/tmp/qpk-bench')
    ap.add_argument('--mb', type=int, default=200)
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--tmpfs', action='store_true',
                    help='install into a tmpfs (root; re-runs itself under unshare -m)')
    args = ap.parse_args()
    if args.tmpfs and not os.environ.get('QPK_BENCH_UNSHARED'):
        os.environ['QPK_BENCH_UNSHARED'] = '1'
        os.execvp('unshare', ['unshare', '-m', sys.executable] + sys.argv)
    qpk = os.path.abspath(args.qpk)
    work = args.work
    fresh(work)
    tree, pkgs = os.path.join(work, 'tree'), os.path.join(work, 'pkgs')
    os.makedirs(pkgs)
    files = write_tree(tree, args.mb, 1)
    qpks, tars = build(qpk, tree, pkgs)
    csize = sum(os.path.getsize(q) for q in qpks)
    print('package set: %d packages, %d files, %d MiB installed, %d MiB compressed'
          % (len(qpks), files, args.mb, csize >> 20))
    targets = os.path.join(work, 'targets')
    os.makedirs(targets)
    if args.tmpfs:
        # Both installs go into one tmpfs in a private mount namespace: the installers' own cost
        # without the disk file system's allocator in the figures.
        subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=2g', 'tmpfs', targets], check=True)
    results = {'qpk': [], 'tar': []}
    report = os.path.join(work, 'time.out')

    def install_qpk(r):
        target = os.path.join(targets, 'qpk%d' % r)
        os.makedirs(target)
        results['qpk'].append(run([qpk, 'install', '--root', target] + qpks, report))

    def install_tar(r):
        target = os.path.join(targets, 'tar%d' % r)
        os.makedirs(target)
        total = [0.0, 0.0, 0]
        for t in tars:
            w, c, m = run(['tar', '-xzf', t, '-C', target], report)
            total = [total[0] + w, total[1] + c, max(total[2], m)]
        results['tar'].append(tuple(total))

    # Every run installs into a fresh directory and nothing is deleted before the end, so that
    # neither side pays for the other's deletions; the order alternates; round 0 warms up.
    for r in range(args.runs + 1):
        subprocess.run(['sync'])
        if r % 2 == 0:
            install_qpk(r)
            install_tar(r)
        else:
            install_tar(r)
            install_qpk(r)
        if r == 0:
            results = {'qpk': [], 'tar': []}
    qw = statistics.median(x[0] for x in results['qpk'])
    qc = statistics.median(x[1] for x in results['qpk'])
    qm = max(x[2] for x in results['qpk'])
    tw = statistics.median(x[0] for x in results['tar'])
    tc = statistics.median(x[1] for x in results['tar'])
    tm = max(x[2] for x in results['tar'])
    where = 'tmpfs' if args.tmpfs else 'the file system of ' + work
    print('installing into %s, median of %d runs:' % (where, args.runs))
    print('qpk install: wall %.2f s, cpu %.2f s, peak RSS %.1f MiB' % (qw, qc, qm / 1024))
    print('tar -xzf:    wall %.2f s, cpu %.2f s, peak RSS %.1f MiB' % (tw, tc, tm / 1024))
    print('wall-time ratio %.2f (goal <= 1.1), CPU-time ratio %.2f (goal <= 1.0)'
          % (qw / tw, qc / tc))
    target_q = os.path.join(targets, 'small')
    # RSS against package size: the smallest package alone, then the whole set in one stream.
    small = min(qpks, key=os.path.getsize)
    os.makedirs(target_q)
    _, _, small_rss = run([qpk, 'install', '--root', target_q, small], report)
    print('peak RSS: %.1f MiB for %d KiB of packages, %.1f MiB for %d MiB (goal < 8 MiB, flat)'
          % (small_rss / 1024, os.path.getsize(small) >> 10, qm / 1024, csize >> 20))
    if args.tmpfs:
        subprocess.run(['umount', targets])
    shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
