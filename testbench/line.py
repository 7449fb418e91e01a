#!/usr/bin/env python3
"""A serial line emulator: two pseudo-terminals relayed to each other at a given line speed
(rate/10 bytes per second, 8N1), with optional latency, bit errors and dropped bytes, and SLIP
frames delivered twice or cut short (a frame is what lies between two 0xC0 bytes; with frame
faults on, each frame is held until its closing 0xC0 has arrived). By default each byte is
handed over the moment its last bit would have arrived; with --burst-ms the receiver gets them in
bursts instead, as from a UART's receive FIFO or a USB adapter's latency timer: a burst is
handed over B ms after its first byte arrived, or as soon as nothing more is on its way.

  line.py --com-dir /tmp/ports --com 3 --peer-link /tmp/dev3 --baud 57600

links DIR/COM<N> (what the process opens when ECGCOMM_PORTS=DIR) and PATH (what the device
opens) to the two pty slaves, prints "ready" and relays until SIGTERM or SIGINT.
Faults are drawn from --seed, so a failing run can be repeated.

  line.py --check /dev/ttyUSB0 /dev/ttyUSB1 --baud 57600

checks a real line instead, before a device is connected: both ports set raw 8N1 at --baud,
a test block (every byte value, then pseudo-random bytes, --bytes in all) is sent from the
first port to the second and back, and each direction is reported. With one port only, that
port needs a loopback plug (pins 2 and 3 joined). Exit code: 0 every byte arrived unchanged
both ways; 1 bytes were lost or changed; 2 a port could not be opened.
"""

import argparse
import collections
import os
import random
import select
import signal
import sys
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import serialport  # noqa: E402


class Direction:
    """Bytes read from one master, each released to the other master when the line would
    have delivered it."""

    def __init__(self, name, src, dst, args, rng):
        self.name, self.src, self.dst = name, src, dst
        self.byte_time = 10.0 / args.baud
        self.latency = args.latency / 1000.0
        self.bit_error = args.bit_error_rate
        self.drop = args.drop_rate
        self.duplicate = args.duplicate_rate
        self.truncate = args.truncate_rate
        self.burst = args.burst_ms / 1000.0
        self.frame = bytearray()
        self.rng = rng
        self.queue = collections.deque()
        self.line_free = 0.0
        self.counts = collections.Counter()

    def take(self, data, now):
        for b in data:
            self.counts["in"] += 1
            if self.drop and self.rng.random() < self.drop:
                self.counts["dropped"] += 1
                continue
            if self.bit_error:
                for bit in range(8):
                    if self.rng.random() < self.bit_error:
                        b ^= 1 << bit
                        self.counts["bit errors"] += 1
            if self.duplicate or self.truncate:
                self.take_framed(b, now)
            else:
                self.send(b, now)

    def take_framed(self, b, now):
        if b != 0xC0:
            self.frame.append(b)
            return
        frame = bytes(self.frame)
        self.frame.clear()
        if frame and self.truncate and self.rng.random() < self.truncate:
            frame = frame[:self.rng.randrange(len(frame))]
            self.counts["frames cut short"] += 1
        copies = 1
        if frame and self.duplicate and self.rng.random() < self.duplicate:
            copies = 2
            self.counts["frames doubled"] += 1
        for _ in range(copies):
            for x in frame:
                self.send(x, now)
            self.send(0xC0, now)

    def send(self, b, now):
        due = max(now + self.latency, self.line_free + self.byte_time)
        self.line_free = due
        self.queue.append((due, b))

    def release(self, now):
        due = self.next_due()
        if due is None or due > now:
            return
        out = bytearray()
        if self.burst:
            # Everything that has arrived by the hand-over goes in one burst.
            while self.queue and self.queue[0][0] <= due:
                out.append(self.queue.popleft()[1])
        else:
            while self.queue and self.queue[0][0] <= now:
                out.append(self.queue.popleft()[1])
        if out:
            try:
                os.write(self.dst, bytes(out))
                self.counts["out"] += len(out)
            except OSError:
                self.counts["lost on write"] += len(out)

    def next_due(self):
        """When the next hand-over is due, or None when nothing is queued."""
        if not self.queue:
            return None
        if not self.burst:
            return self.queue[0][0]
        return min(self.queue[0][0] + self.burst, self.queue[-1][0])


def make_pty(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(name, link)
    # The slave stays open here, so the master never sees EIO while no one else has it open.
    return master, slave


def transfer(src, dst, data, baud):
    """Sends `data` from fd `src` and reads fd `dst` (the same fd on a loopback plug) until
    all of it came back, or the line stayed quiet for a second after the last byte was due.
    Returns the bytes received and the seconds from the first write to the last byte read."""
    start = time.monotonic()
    due = start + len(data) * 10.0 / baud
    sent, got, last = 0, bytearray(), start
    while True:
        now = time.monotonic()
        if len(got) >= len(data) or now > max(due, last) + 1.0:
            return bytes(got), last - start
        writers = [src] if sent < len(data) else []
        readable, writable, _ = select.select([dst], writers, [], 0.1)
        if writable:
            try:
                sent += os.write(src, data[sent:sent + 256])
            except BlockingIOError:
                pass
        if readable:
            try:
                chunk = os.read(dst, 4096)
            except (BlockingIOError, OSError):
                chunk = b""
            if chunk:
                got += chunk
                last = time.monotonic()


def check(args):
    ports = args.check
    if len(ports) > 2:
        print("--check takes one port (with a loopback plug) or two", file=sys.stderr)
        return 2
    fds = []
    try:
        for path in ports:
            fds.append(serialport.open_line(path, args.baud))
    except OSError as e:
        print("RESULT cannot-open %s" % e, flush=True)
        return 2
    a, b = fds[0], fds[-1]
    rng = random.Random(args.seed)
    data = bytes(range(256)) + bytes(rng.randrange(256) for _ in range(max(0, args.bytes - 256)))
    data = data[:args.bytes]
    faults = 0
    legs = [(ports[0], ports[-1], a, b)]
    if len(ports) == 2:
        legs.append((ports[1], ports[0], b, a))
    for src_name, dst_name, src, dst in legs:
        got, seconds = transfer(src, dst, data, args.baud)
        rate = len(got) / seconds if seconds > 0 else 0.0
        if got == data:
            verdict = "unchanged"
        elif not got:
            verdict = ("NOTHING ARRIVED: is the cable a null-modem (crossed) cable, and are "
                       "these the two ends of it?")
        else:
            first = next((i for i, (x, y) in enumerate(zip(got, data)) if x != y),
                         min(len(got), len(data)))
            verdict = ("DAMAGED, first difference at byte %d: the same speed at both ends? "
                       "cable length and shielding?" % first)
        faults += got != data
        print("%s -> %s: %d of %d bytes in %.2f s (%d bytes/s, the line carries %d), %s" % (
            src_name, dst_name, len(got), len(data), seconds, rate, args.baud // 10, verdict),
            flush=True)
    for fd in fds:
        os.close(fd)
    print("RESULT %s" % ("line-ok" if not faults else "line-faulty"), flush=True)
    return 1 if faults else 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--com-dir", help="directory for the COM<N> link")
    p.add_argument("--com", type=int, help="COM number N")
    p.add_argument("--peer-link", help="link for the device's end")
    p.add_argument("--baud", type=int, default=57600, help="line speed in bits per second")
    p.add_argument("--check", nargs="+", metavar="PORT",
                   help="check a real line between PORT and PEER (or a loopback plug on PORT)")
    p.add_argument("--bytes", type=int, default=4096, help="size of the --check test block")
    p.add_argument("--latency", type=float, default=0.0, help="extra delay in milliseconds")
    p.add_argument("--bit-error-rate", type=float, default=0.0, help="probability per bit")
    p.add_argument("--drop-rate", type=float, default=0.0, help="probability per byte")
    p.add_argument("--duplicate-rate", type=float, default=0.0,
                   help="probability per SLIP frame that it arrives twice")
    p.add_argument("--truncate-rate", type=float, default=0.0,
                   help="probability per SLIP frame that its end is lost (the 0xC0 still comes)")
    p.add_argument("--burst-ms", type=float, default=0.0,
                   help="hand bytes over in bursts of up to this many milliseconds (0: per byte)")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv)
    if args.check:
        if args.baud not in serialport.RATES:
            p.error("--baud: %d is not a line speed the kit can set (%s)" % (
                args.baud, serialport.rate_text()))
        return check(args)
    if args.com_dir is None or args.com is None or args.peer_link is None:
        p.error("give --com-dir, --com and --peer-link, or --check PORT [PEER]")

    os.makedirs(args.com_dir, exist_ok=True)
    com_link = os.path.join(args.com_dir, "COM%d" % args.com)
    m_com, s_com = make_pty(com_link)
    m_dev, s_dev = make_pty(args.peer_link)
    rng = random.Random(args.seed)
    to_dev = Direction("process->device", m_com, m_dev, args, rng)
    to_com = Direction("device->process", m_dev, m_com, args, rng)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    print("ready", flush=True)
    try:
        while not stop:
            now = time.monotonic()
            dues = [d for d in (to_dev.next_due(), to_com.next_due()) if d is not None]
            timeout = max(0.0, min(dues) - now) if dues else 0.5
            try:
                ready, _, _ = select.select([m_com, m_dev], [], [], min(timeout, 0.5))
            except InterruptedError:
                continue
            now = time.monotonic()
            for fd, direction in ((m_com, to_dev), (m_dev, to_com)):
                if fd in ready:
                    try:
                        direction.take(os.read(fd, 4096), now)
                    except OSError:
                        time.sleep(0.01)
            to_dev.release(now)
            to_com.release(now)
    finally:
        for link in (com_link, args.peer_link):
            if os.path.islink(link):
                os.unlink(link)
        for d in (to_com, to_dev):
            print("%s: %s" % (d.name, dict(d.counts)), file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
