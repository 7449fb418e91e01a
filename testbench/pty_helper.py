#!/usr/bin/env python3
"""Gives a test a fresh serial line made of two pseudo-terminals.

Two pty pairs are created; the bytes arriving on either master are relayed unchanged to the
other, so that whatever writes one slave is read from the other, like a null-modem cable.
DIR/COM<N> is linked to one slave (ecgcomm opens it when ECGCOMM_PORTS=DIR) and PATH to the
other (the device simulator opens it). "ready" is printed once everything is set up; the links
are removed on SIGTERM or SIGINT.

Importable: open_pty_pair() and make_raw() give tests a raw pty pair of their own.
Standard library only.
"""
import argparse
import errno
import os
import select
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from serialport import make_raw  # noqa: E402


def open_pty_pair():
    """A raw pty pair: (master fd, slave fd, slave path). The slave fd stays open so that the
    master never sees EIO while nobody else has the slave open."""
    master, slave = os.openpty()
    make_raw(slave)
    return master, slave, os.ttyname(slave)


def replace_link(link, target):
    try:
        os.unlink(link)
    except FileNotFoundError:
        pass
    os.symlink(target, link)


def relay(fds, stop):
    """Relays bytes between two master fds until stop() is true; never drops a byte."""
    a, b = fds
    pending = {a: bytearray(), b: bytearray()}  # bytes waiting to be written to the key fd
    other = {a: b, b: a}
    for fd in fds:
        os.set_blocking(fd, False)
    while not stop():
        writers = [fd for fd in fds if pending[fd]]
        try:
            readable, writable, _ = select.select(list(fds), writers, [], 0.2)
        except InterruptedError:
            continue
        for fd in readable:
            try:
                data = os.read(fd, 4096)
            except OSError as e:
                if e.errno in (errno.EAGAIN, errno.EIO):
                    continue
                raise
            pending[other[fd]] += data
        for fd in writable:
            try:
                n = os.write(fd, pending[fd])
                del pending[fd][:n]
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EIO):
                    raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--com-dir", required=True, help="directory for the COM<N> link")
    parser.add_argument("--com", type=int, required=True, help="COM number N")
    parser.add_argument("--peer-link", required=True, help="path of the link to the other end")
    args = parser.parse_args()

    m1, s1, p1 = open_pty_pair()
    m2, s2, p2 = open_pty_pair()
    os.makedirs(args.com_dir, exist_ok=True)
    com_link = os.path.join(args.com_dir, "COM%d" % args.com)
    replace_link(com_link, p1)
    replace_link(args.peer_link, p2)

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    print("ready", flush=True)
    try:
        relay((m1, m2), lambda: bool(stopping))
    finally:
        for link in (com_link, args.peer_link):
            try:
                os.unlink(link)
            except FileNotFoundError:
                pass
        for fd in (m1, s1, m2, s2):
            os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
