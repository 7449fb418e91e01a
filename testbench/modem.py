#!/usr/bin/env python3
"""Hayes-style modem emulator on a pseudo-terminal, for tests of the modem variant.

The modem side of a pty is linked as DIR/COM<N>; ecgcomm opens that as its modem port
(ECGCOMM_PORTS=DIR). A simulated caller connects to the Unix-domain stream socket given by
--caller-socket: the modem then reports RING and CONNECT in numeric form ("2\\r", "1\\r") and
relays bytes transparently both ways until hang-up ("+++" with guard times, then ATH0), when it
closes the caller's connection. When the caller goes away first it reports NO CARRIER ("3\\r").

Command mode: characters are echoed as they arrive (E1, the default; ATE0 turns echo off),
a carriage return ends the command line, result codes are numeric ("0\\r" OK, "4\\r" ERROR).
--init-answer chooses what a command other than ATH gets: 0, 4, or nothing at all ("silent":
the modem then neither echoes nor answers, like one that is switched off).

--log FILE gets one line per event, "<unix time with ms> <text>": "rx <hex>" for every byte
sequence received in command mode, and "+++ escape", "ATH0 hang-up", "caller connected",
"caller gone". "ready" is printed on stdout once set up; runs until SIGTERM or SIGINT.

--port PATH plays the modem on a real serial port instead (raw 8N1 at --baud bits per second):
ecgcomm's modem port is then the other end of a null-modem cable, which checks its modem
strings and the modem variant before a real modem and telephone line are there.
Standard library only.
"""
import argparse
import errno
import os
import select
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from pty_helper import open_pty_pair, replace_link  # noqa: E402
import serialport  # noqa: E402

CR = b"\r"


class Modem:
    def __init__(self, master, init_answer, guard_s, log):
        self.master = master
        self.init_answer = init_answer
        self.guard_s = guard_s
        self.log_file = log
        self.echo = init_answer != "silent"
        self.line = bytearray()
        self.caller = None
        self.online = False  # data mode: bytes go to the caller
        self.last_rx = time.monotonic()
        self.plus_count = 0
        self.plus_started = 0.0

    def log(self, text):
        if self.log_file:
            self.log_file.write("%.3f %s\n" % (time.time(), text))
            self.log_file.flush()

    def to_process(self, data):
        os.write(self.master, data)

    # --- command mode -------------------------------------------------------------------
    def command_bytes(self, data):
        self.log("rx " + data.hex())
        out = bytearray()
        for b in data:
            byte = bytes([b])
            if self.echo and self.init_answer != "silent":
                out += byte
            if byte == CR:
                out += self.execute(bytes(self.line).strip())
                self.line.clear()
            elif b in (8, 127):
                self.line = self.line[:-1]
            else:
                self.line += byte
        if out:
            # Echo and result code in one write, as a modem's UART sends them back to back.
            self.to_process(bytes(out))

    def execute(self, command):
        upper = command.upper()
        if self.init_answer == "silent":
            return b""
        if not upper:
            return b""
        # Like a real modem, anything before the "AT" prefix is line noise (an escape sequence
        # typed while already in command mode, for example).
        start = upper.find(b"AT")
        if start < 0:
            return b"4\r"
        body = upper[start + 2:]
        if body.startswith(b"H"):
            if self.caller is not None:
                self.drop_caller()
            self.log("ATH0 hang-up")
            return b"0\r"
        if body.startswith(b"O") and self.caller is not None:
            self.online = True
            return b"1\r"
        if self.init_answer == "4":
            return b"4\r"
        i = body.find(b"E")
        if i >= 0 and i + 1 < len(body) and body[i + 1:i + 2] in (b"0", b"1"):
            self.echo = body[i + 1:i + 2] == b"1"
        return b"0\r"

    # --- data mode ----------------------------------------------------------------------
    def data_bytes(self, data):
        now = time.monotonic()
        for b in data:
            if b == ord("+") and (self.plus_count > 0 or now - self.last_rx >= self.guard_s):
                if self.plus_count == 0:
                    self.plus_started = now
                self.plus_count += 1
            else:
                self.plus_count = 0
        if self.plus_count > 3:
            self.plus_count = 0
        if self.caller is not None:
            try:
                self.caller.sendall(data)
            except OSError:
                self.drop_caller(report=True)
        self.last_rx = now

    def check_escape(self):
        """Three pluses followed by the guard time of silence leave data mode."""
        if self.online and self.plus_count == 3 and time.monotonic() - self.last_rx >= self.guard_s:
            self.plus_count = 0
            self.online = False
            self.log("+++ escape")
            self.to_process(b"0\r")

    # --- caller -------------------------------------------------------------------------
    def caller_arrived(self, conn):
        if self.caller is not None:
            conn.close()  # the line is busy
            return
        self.caller = conn
        self.caller.setblocking(False)
        self.log("caller connected")
        self.to_process(b"2\r")
        self.to_process(b"1\r")
        self.online = True
        self.last_rx = time.monotonic()
        self.plus_count = 0

    def drop_caller(self, report=False):
        if self.caller is not None:
            try:
                self.caller.close()
            except OSError:
                pass
        self.caller = None
        self.online = False
        if report:
            self.log("caller gone")
            self.to_process(b"3\r")

    def from_process(self, data):
        if self.online:
            self.data_bytes(data)
        else:
            self.command_bytes(data)
            self.last_rx = time.monotonic()

    def from_caller(self):
        try:
            data = self.caller.recv(4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.drop_caller(report=True)
            return
        if self.online:
            self.to_process(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--com-dir", help="directory for the COM<N> link")
    parser.add_argument("--com", type=int, help="COM number N")
    parser.add_argument("--port", help="a real serial port to play the modem on, instead of "
                                       "--com-dir and --com")
    parser.add_argument("--baud", type=serialport.check_rate, metavar="RATE",
                        help="speed of --port in bits per second (57600 for baud code 576)")
    parser.add_argument("--caller-socket", required=True, help="Unix socket callers connect to")
    parser.add_argument("--init-answer", choices=["0", "4", "silent"], default="0",
                        help="result code for commands other than ATH (default 0)")
    parser.add_argument("--guard-ms", type=int, default=1000,
                        help="escape guard time in ms (default 1000)")
    parser.add_argument("--log", help="event log file")
    args = parser.parse_args()
    if not args.port and (args.com_dir is None or args.com is None):
        parser.error("give --com-dir and --com, or --port")

    slave = com_link = None
    if args.port:
        try:
            master = serialport.open_line(args.port, args.baud)
        except OSError as e:
            print("cannot open %s: %s" % (args.port, e), file=sys.stderr)
            return 2
    else:
        master, slave, slave_path = open_pty_pair()
        os.set_blocking(master, False)
        os.makedirs(args.com_dir, exist_ok=True)
        com_link = os.path.join(args.com_dir, "COM%d" % args.com)
        replace_link(com_link, slave_path)
    try:
        os.unlink(args.caller_socket)
    except FileNotFoundError:
        pass
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(args.caller_socket)
    listener.listen(2)
    log = open(args.log, "a") if args.log else None
    modem = Modem(master, args.init_answer, args.guard_ms / 1000.0, log)

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    print("ready", flush=True)
    try:
        while not stopping:
            fds = [master, listener] + ([modem.caller] if modem.caller is not None else [])
            try:
                readable, _, _ = select.select(fds, [], [], 0.02)
            except InterruptedError:
                continue
            if master in readable:
                try:
                    data = os.read(master, 4096)
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EIO):
                        raise
                    data = b""
                if data:
                    modem.from_process(data)
            if listener in readable:
                conn, _ = listener.accept()
                modem.caller_arrived(conn)
            if modem.caller is not None and modem.caller in readable:
                modem.from_caller()
            modem.check_escape()
    finally:
        modem.drop_caller()
        listener.close()
        for path in (com_link, args.caller_socket):
            try:
                if path:
                    os.unlink(path)
            except FileNotFoundError:
                pass
        os.close(master)
        if slave is not None:
            os.close(slave)
        if log:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
