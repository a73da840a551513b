#!/usr/bin/python3
# Benchmark of the network installation, in one run (root):
#  1. Over one veth pair between two network namespaces, every process pinned to CPU 0 (a hop
#     between the two CPUs of these machines costs about 40 us and would swamp the figures): a
#     large package sent by netinstall-server to a router (net_peer receive), against the
#     stop-and-wait limit of 1452 bytes per round trip on the protocol's own sockets (net_peer
#     ping/echo), and against TFTP with 1452-byte blocks (tftpd-hpa, curl as the client).
#  2. The same through the tests' user-space switch dropping 5 % of the frames: the transfer must
#     come through byte for byte; its rate is set beside the model 1452 B / (RTT + p x 20 ms),
#     p being the chance that a data message or its acknowledgement is lost; TFTP beside it.
#  3. Three routers installed at once by --all against one alone, each behind its own switch
#     that delays every frame by 1 ms, so that the line and not this machine sets the pace.
# Needs tftpd-hpa and curl (apt-get install tftpd-hpa curl).
# Usage: net_bench.py --peer NET_PEER --server NETINSTALL_SERVER --qpk QPK [--work DIR]
#                     [--mb 50] [--lossy-mb 10] [--delayed-mb 4] [--runs 3]
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

PAYLOAD = 1452  # data bytes per message, as per TFTP block here
ROUTER_MAC = '02:00:00:00:00:01'
SERVER_MAC = '02:00:00:00:00:02'
TFTP_SERVER = '10.77.0.1'
TFTP_CLIENT = '10.77.0.2'


def sh(command, check=True):
    return subprocess.run(command, shell=True, check=check)


def pinned(ns, argv):
    return ['taskset', '-c', '0', 'ip', 'netns', 'exec', ns] + argv


def add_namespace(ns):
    # IPv6 off before any link exists, so that no autoconfiguration frame crosses the line.
    sh('ip netns add %s && ip netns exec %s sh -c "for f in all default; do '
       'echo 1 >/proc/sys/net/ipv6/conf/\\$f/disable_ipv6; done"' % (ns, ns))


def crc_of(path):
    crc = 0
    with open(path, 'rb') as f:
        while True:
            piece = f.read(1 << 20)
            if not piece:
                return crc
            crc = zlib.crc32(piece, crc)


def make_package(qpk, work, name, mb):
    tree = os.path.join(work, name + '-tree')
    os.makedirs(os.path.join(tree, 'opt'), exist_ok=True)
    with open(os.path.join(tree, 'opt', name), 'wb') as f:
        for _ in range(mb):
            f.write(os.urandom(1 << 20))  # incompressible: the package crosses at full size
    path = os.path.join(work, name + '.qpk')
    subprocess.run([qpk, 'build', tree, '-o', path, '--name', name, '--version', '1',
                    '--level', '0'], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(tree)
    return path, os.path.getsize(path), crc_of(path)


def start_router(args, ns, discard):
    into = tempfile.mkdtemp(dir=args.work)
    environment = dict(os.environ)
    if discard:
        environment['NET_PEER_DISCARD'] = '1'
    # stdin stays an open pipe: the router's final wait for a key must not end at once.
    process = subprocess.Popen(pinned(ns, [args.peer, 'receive', into]), env=environment,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return process, into, discard


def router_result(router, package, timeout):
    """The router's transfer window, once what it wrote is checked against the package."""
    process, into, discard = router
    out, _ = process.communicate(timeout=timeout)
    transfer = [line.split() for line in out.splitlines() if line.startswith('transfer ')]
    received = os.path.join(into, 'package-0')
    try:
        if not transfer or transfer[-1][1:3] != ['ok', '1']:
            return None
        if not discard and (not os.path.exists(received) or
                            os.path.getsize(received) != package[1] or
                            crc_of(received) != package[2]):
            return None
        return {'bytes': package[1], 'start': float(transfer[-1][3]),
                'end': float(transfer[-1][4])}
    finally:
        shutil.rmtree(into, ignore_errors=True)


def install(args, server_ns, server_options, routers, package, timeout, discard=False):
    """netinstall-server in server_ns, net_peer receive in each router namespace; with
    discard, the routers drop the bytes instead of writing them for the check."""
    started = [start_router(args, ns, discard) for ns in routers]
    t0 = time.monotonic()
    server = subprocess.run(pinned(server_ns, [args.server] + server_options + [package[0]]),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                            timeout=timeout)
    wall = time.monotonic() - t0
    results = [router_result(router, package, 60) for router in started]
    if None in results:
        sys.exit('a transfer failed or changed bytes:\n' + server.stdout)
    return results, wall


def rate(result):
    return result['bytes'] / (result['end'] - result['start'])


def stop_and_wait_limit(args, a, a_dev, b, b_dev, seconds=2.0):
    echo = subprocess.Popen(pinned(b, [args.peer, 'echo', b_dev]))
    try:
        time.sleep(0.3)
        out = subprocess.run(pinned(a, [args.peer, 'ping', a_dev, str(seconds)]),
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        rounds, elapsed = out.split()[1:3]
        rtt = float(elapsed) / int(rounds)
        return rtt, PAYLOAD / rtt
    finally:
        echo.kill()
        echo.wait()


def tftp(args, server_ns, client_ns, server_dev, client_dev, package, max_time):
    """curl fetching the package over TFTP with 1452-byte blocks; (seconds, verdict)."""
    path, size, _ = package
    sh('ip -n %s addr add %s/24 dev %s && ip -n %s link set %s up' %
       (server_ns, TFTP_SERVER, server_dev, server_ns, server_dev))
    sh('ip -n %s addr add %s/24 dev %s && ip -n %s link set %s up' %
       (client_ns, TFTP_CLIENT, client_dev, client_ns, client_dev))
    daemon = subprocess.Popen(pinned(server_ns, ['in.tftpd', '-L', '-s', os.path.dirname(path),
                                                 '-a', TFTP_SERVER + ':69']))
    try:
        time.sleep(0.5)
        t0 = time.monotonic()
        # Written to /dev/null as the timed runs of ours; curl times its own transfer.
        fetch = subprocess.run(pinned(client_ns, [
            'curl', '-s', '--max-time', str(max_time), '--tftp-blksize', str(PAYLOAD),
            '-o', '/dev/null', '-w', '%{time_total} %{size_download}',
            'tftp://%s/%s' % (TFTP_SERVER, os.path.basename(path))]),
            stdout=subprocess.PIPE, text=True)
        seconds = time.monotonic() - t0
        fields = fetch.stdout.split()
        fetched = int(float(fields[1])) if len(fields) == 2 else 0
        if fetch.returncode == 0 and fetched == size:
            return float(fields[0]), 'complete'
        return seconds, 'curl status %d after %d of %d bytes' % (fetch.returncode, fetched, size)
    finally:
        daemon.kill()
        daemon.wait()
        sh('ip -n %s addr flush dev %s; ip -n %s addr flush dev %s' %
           (server_ns, server_dev, client_ns, client_dev), check=False)


class Switch:
    def __init__(self, args, a, a_dev, a_mac, b, b_dev, b_mac, loss, seed, delay_us):
        self.process = subprocess.Popen(
            ['taskset', '-c', '0', args.peer, 'switch', a, a_dev, a_mac, b, b_dev, b_mac,
             str(loss), str(seed), str(delay_us)], stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != 'switch running':
            sys.exit('the switch did not start')

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()


def mb_s(bytes_per_second):
    return bytes_per_second / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--peer', required=True)
    parser.add_argument('--server', required=True)
    parser.add_argument('--qpk', required=True)
    parser.add_argument('--work', default=None)
    parser.add_argument('--mb', type=int, default=50)
    parser.add_argument('--lossy-mb', type=int, default=10)
    parser.add_argument('--delayed-mb', type=int, default=4)
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--parts', default='123', help='which of the three parts to run')
    args = parser.parse_args()
    for tool in ('in.tftpd', 'curl', 'taskset', 'ip'):
        if not shutil.which(tool):
            sys.exit('net_bench: %s is missing (apt-get install tftpd-hpa curl)' % tool)
    args.work = tempfile.mkdtemp(prefix='net-bench-', dir=args.work)
    os.chmod(args.work, 0o755)  # tftpd reads as its own user
    tag = str(os.getpid())
    srv, rtr = 'nb-srv-' + tag, 'nb-rtr-' + tag
    others = ['nb-rtr%d-%s' % (i, tag) for i in (1, 2, 3)]
    switches = []
    try:
        for ns in (srv, rtr):
            add_namespace(ns)
        sh('ip link add name tvxr address %s netns %s type veth peer name tvxs address %s '
           'netns %s' % (ROUTER_MAC, rtr, SERVER_MAC, srv))
        one_router = ['--interface', 'tvxs', '--keep-config', '--timeout', '60']

        if '1' in args.parts:
            big = make_package(args.qpk, args.work, 'big', args.mb)
            print('1. veth pair, %.1f MB package, %d runs, every process on CPU 0' %
                  (big[1] / 1e6, args.runs))
            # Interleaved, so that a slow spell of the machine weighs on all three alike.
            # The bytes are checked once; the timed runs, ours and TFTP alike, write them to
            # /dev/null, so that the protocols and not the file system are compared.
            install(args, srv, one_router, [rtr], big, 600)
            ours, limits, tftps, rtts = [], [], [], []
            for _ in range(args.runs):
                results, _ = install(args, srv, one_router, [rtr], big, 600, discard=True)
                ours.append(rate(results[0]))
                rtt, limit = stop_and_wait_limit(args, srv, 'tvxs', rtr, 'tvxr')
                rtts.append(rtt)
                limits.append(limit)
                seconds, verdict = tftp(args, srv, rtr, 'tvxs', 'tvxr', big, 600)
                if verdict != 'complete':
                    sys.exit('TFTP over the veth pair: ' + verdict)
                tftps.append(big[1] / seconds)
            for name, rates in (('ours', ours), ('limit', limits), ('TFTP curl', tftps)):
                print('   %-10s median %6.2f MB/s, best %6.2f (runs: %s)' %
                      (name, mb_s(statistics.median(rates)), mb_s(max(rates)),
                       ', '.join('%.2f' % mb_s(r) for r in rates)))
            print('   round trip of the limit: median %.1f us' % (statistics.median(rtts) * 1e6))
            # Each run's own ratios: a run's three figures come from the same few seconds.
            to_limit = statistics.median(o / l for o, l in zip(ours, limits))
            to_tftp = statistics.median(o / t for o, t in zip(ours, tftps))
            print('   ours / limit %.2f (goal >= 0.9), ours / TFTP %.2f (goal >= 1.0): medians of '
                  'the runs\' own ratios' % (to_limit, to_tftp))

        if '2' in args.parts:
            sh('ip -n %s link del tvxr' % rtr)
            clean = Switch(args, rtr, 'tvxr', ROUTER_MAC, srv, 'tvxs', SERVER_MAC, 0, 1, 0)
            rtt, _ = stop_and_wait_limit(args, srv, 'tvxs', rtr, 'tvxr')
            clean.stop()
            lossy_package = make_package(args.qpk, args.work, 'lossy', args.lossy_mb)
            lossy = Switch(args, rtr, 'tvxr', ROUTER_MAC, srv, 'tvxs', SERVER_MAC, 5, 42, 0)
            switches.append(lossy)
            results, _ = install(args, srv, one_router, [rtr], lossy_package, 1800)
            lossy_rate = rate(results[0])
            exchange_loss = 1 - 0.95 ** 2
            model = PAYLOAD / (rtt + exchange_loss * 0.020)
            naive = PAYLOAD / (rtt + 0.05 * 0.020)
            seconds, verdict = tftp(args, srv, rtr, 'tvxs', 'tvxr', lossy_package, 120)
            print('2. switch dropping 5 %% of frames, %.1f MB package' % (lossy_package[1] / 1e6))
            print('   ours       %6.3f MB/s, byte-identical (round trip %.1f us without loss)' %
                  (mb_s(lossy_rate), rtt * 1e6))
            print('   model      %6.3f MB/s with p = 1 - 0.95^2 = %.4f: ours / model %.2f (goal >= 0.8)'
                  % (mb_s(model), exchange_loss, lossy_rate / model))
            print('   model      %6.3f MB/s with p = 0.05: ours / model %.2f' %
                  (mb_s(naive), lossy_rate / naive))
            if verdict == 'complete':
                print('   TFTP curl  %6.3f MB/s' % mb_s(lossy_package[1] / seconds))
            else:
                print('   TFTP curl  %s, %.0f s' % (verdict, seconds))
            lossy.stop()
            switches.remove(lossy)

        if '3' in args.parts:
            for i, ns in enumerate(others, 1):
                add_namespace(ns)
                switches.append(Switch(args, ns, 'tvxr', '02:00:00:00:01:0%d' % i, srv,
                                       'tvxs%d' % i, '02:00:00:00:02:0%d' % i, 0, i, 1000))
                sh('ip -n %s link set tvxs%d up' % (srv, i))
            sh('ip -n %s link add br0 type bridge forward_delay 0 && ip -n %s link set br0 up' %
               (srv, srv))
            for i in (1, 2, 3):
                sh('ip -n %s link set tvxs%d master br0' % (srv, i))
            time.sleep(0.5)
            delayed = make_package(args.qpk, args.work, 'delayed', args.delayed_mb)
            print('3. every frame delayed 1 ms, %.1f MB package' % (delayed[1] / 1e6))
            figures = {}
            for count in (1, 3):
                options = ['--interface', 'br0', '--routers', str(count), '--keep-config',
                           '--timeout', '60']
                spans, walls = [], []
                for _ in range(args.runs):
                    results, wall = install(args, srv, options, others[:count], delayed, 600)
                    spans.append(max(r['end'] for r in results) -
                                 min(r['start'] for r in results))
                    walls.append(wall)
                figures[count] = (statistics.median(spans), statistics.median(walls))
                print('   %d router%s  transfers %.2f s, server run %.2f s (medians of %d)' %
                      (count, ' ' if count == 1 else 's', figures[count][0], figures[count][1],
                       args.runs))
            print('   three / one: transfers %.2f, server run %.2f (goal <= 1.3)' %
                  (figures[3][0] / figures[1][0], figures[3][1] / figures[1][1]))
    finally:
        for switch in switches:
            switch.stop()
        for ns in [srv, rtr] + others:
            sh('ip netns del %s 2>/dev/null' % ns, check=False)
        shutil.rmtree(args.work, ignore_errors=True)


if __name__ == '__main__':
    main()
