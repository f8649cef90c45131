#!/usr/bin/env python3
"""What one cheap client costs tvioctrld: a port write sent without waiting every PERIOD
microseconds through the connection's queue, for SECONDS; prints the CPU the service and the
client spent meanwhile (from /proc), as a share of one core.

    bench/iosvc/trickle.py SOCKET SERVICE_PID [--period 900] [--seconds 5] [--version 4]

The client speaks the wire protocol by hand (iosvc/README.md): it opens its queue, puts one
write to port 0x3A1 in it each period and wakes the service the way the flag asks (a futex wake
or a kick on the socket).
"""
import argparse
import ctypes
import mmap
import os
import socket
import struct
import time

READ, WRITE, OPEN_QUEUE, KICK = 0xC350200C, 0xC3502018, 0x51560001, 0x51560002
NO_ANSWER = 1
POSTED, AWAKE, TAKEN = 0, 4, 64
REQUESTS, SLOTS, QUEUE_SIZE = 128, 64, 4736
SYS_FUTEX, FUTEX_WAKE = 202, 1

libc = ctypes.CDLL(None, use_errno=True)


def request(version, seq, code, words=(), flags=0):
    data = b"".join(struct.pack("<I", w) for w in words)
    return struct.pack("<IHHIIHH", 0x51495654, version, 36, seq, code, len(data), flags) + \
        data.ljust(16, b"\0")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("socket")
    ap.add_argument("pid", type=int)
    ap.add_argument("--period", type=int, default=900, help="microseconds between writes")
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--version", type=int, default=4, help="the service's wire version")
    a = ap.parse_args()

    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(a.socket)
    s.sendall(request(a.version, 1, OPEN_QUEUE))
    reply, fds, _, _ = socket.recv_fds(s, 36, 1)
    if len(reply) != 36 or not fds:
        raise SystemExit("no queue offered")
    q = mmap.mmap(fds[0], QUEUE_SIZE, mmap.MAP_SHARED)
    qaddr = ctypes.addressof(ctypes.c_char.from_buffer(q))
    seq, posted = 1, 0
    service0, client0 = cpu_seconds(a.pid), time.process_time()
    end = time.monotonic() + a.seconds
    while time.monotonic() < end:
        if posted - struct.unpack_from("<I", q, TAKEN)[0] >= SLOTS:  # full: the service lags
            time.sleep(a.period / 1e6)
            continue
        seq += 1
        slot = REQUESTS + 36 * (posted % SLOTS)
        q[slot:slot + 36] = request(a.version, seq, WRITE, (0x3A1, posted & 0xFF), NO_ANSWER)
        posted += 1
        struct.pack_into("<I", q, POSTED, posted)
        was = struct.unpack_from("<I", q, AWAKE)[0]
        struct.pack_into("<I", q, AWAKE, 1)
        if was == 2:
            libc.syscall(SYS_FUTEX, ctypes.c_void_p(qaddr + POSTED), FUTEX_WAKE, 1, None, None, 0)
        elif was != 1:
            seq += 1
            s.sendall(request(a.version, seq, KICK))
        time.sleep(a.period / 1e6)
    service, client = cpu_seconds(a.pid) - service0, time.process_time() - client0
    s.settimeout(0.2)
    try:
        if s.recv(36) == b"":
            raise SystemExit("the service hung up on this client")
    except socket.timeout:
        pass
    print(f"{posted} writes in {a.seconds:.0f} s, one every {a.period} us: service "
          f"{100 * service / a.seconds:.1f} % of a core, this client {100 * client / a.seconds:.1f} %")


if __name__ == "__main__":
    main()
