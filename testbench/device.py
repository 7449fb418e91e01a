#!/usr/bin/env python3
"""A CSI recording-device simulator: calls the communication process, logs in, sends OBJ files
and asks whether each was accepted, then logs out. It prints every answer of the server.

  device.py --tty /tmp/dev0 --generate 2048 --count 2
  device.py --port /dev/ttyUSB1 --baud 57600 --generate 100000
  device.py --modem-socket /tmp/caller.sock --file rec1.obj --file rec2.obj

--port (the same as --tty) takes a real serial port as well as a pty; --baud sets its speed
(bits per second, the process's baud code times 100) and raw 8N1 mode.

Its SLIP, IPv4/UDP and CSI encoding lives in csiwire.py, written for the test bench.
Misbehaviour for fault tests: --wrong-session-code, --corrupt-piece, --repeat-piece,
--silent-at, --oversize, --faulty-obj, and --identifier 7 --station-type 70.

Exit code: 0 every file accepted (verdict 1); 1 some file not accepted or refused;
2 the call failed (no answer, transport error); 3 the device fell silent on purpose.
Summary lines on stdout start with "RESULT".
"""

import argparse
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import csiwire as w  # noqa: E402
import objfile  # noqa: E402
import serialport  # noqa: E402

PIECE = 128
STEPS = ("connect", "login", "file", "data", "query", "logout", "disconnect")


class CallFailed(Exception):
    pass


class FellSilent(Exception):
    pass


# ---------------------------------------------------------------- transports

class TtyLine:
    def __init__(self, path, baud=None):
        self.fd = serialport.open_line(path, baud)

    def write(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.fd], [], 0.1)

    def read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.fd, 4096)
        except (BlockingIOError, OSError):
            time.sleep(min(timeout, 0.05))
            return b""

    def close(self):
        os.close(self.fd)


class SocketLine:
    """The caller's side of the modem emulator: a transparent byte path until hang-up."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.hung_up = False

    def write(self, data):
        if self.hung_up:
            raise CallFailed("the modem hung up")
        self.sock.sendall(data)

    def read(self, timeout):
        if self.hung_up:
            time.sleep(timeout)
            return b""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return b""
        data = self.sock.recv(4096)
        if not data:
            self.hung_up = True
        return data

    def close(self):
        self.sock.close()


# ---------------------------------------------------------------- the device

class Device:
    def __init__(self, line, args, out):
        self.line = line
        self.args = args
        self.out = out
        self.decoder = w.SlipDecoder()
        self.inbox = []
        self.session = 0
        self.seq = 0
        self.ident = 0
        self.my_ip = w.ip_bytes(args.device_ip)
        self.server_ip = w.ip_bytes(args.server_ip)
        self.my_port = args.device_port

    def say(self, text):
        print("%8.3f %s" % (time.monotonic() - START, text), file=self.out, flush=True)

    # -- sending and receiving

    def send(self, msg_type, body=b"", session=None, seq=None, break_checksum=False):
        if seq is None:
            self.seq = (self.seq + 1) & 0xFFFF
            seq = self.seq
        raw = w.csi_message(msg_type, self.session if session is None else session, seq, body)
        self.ident += 1
        packet = w.build_datagram(self.my_ip, self.server_ip, self.my_port, w.SERVER_PORT, raw,
                                  self.ident, break_udp_checksum=break_checksum)
        self.line.write(w.slip_encode(packet))
        if self.args.verbose:
            self.say("sent %s" % w.Message(raw).describe())
        return seq

    def receive(self, timeout):
        """The next CSI message from the server, or None after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while not self.inbox:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            for frame in self.decoder.feed(self.line.read(min(left, 0.2))):
                dgram, why = w.parse_datagram(frame)
                if dgram is None:
                    self.say("dropped a frame from the server: %s" % why)
                    continue
                if dgram.dst_port != self.my_port:
                    self.say("dropped a datagram to port %d" % dgram.dst_port)
                    continue
                if len(dgram.payload) < 10:
                    self.say("dropped a short CSI message")
                    continue
                msg = w.Message(dgram.payload)
                if msg.length != len(dgram.payload):
                    self.say("length field %d for %d bytes" % (msg.length, len(dgram.payload)))
                self.inbox.append(msg)
        return self.inbox.pop(0)

    def await_answer(self, seq, types, timeout):
        """Waits for a message of one of `types` that answers sequence `seq`; skips the rest
        (the server's unsolicited keep-alive status among them)."""
        deadline = time.monotonic() + timeout
        while True:
            msg = self.receive(max(0.0, deadline - time.monotonic()))
            if msg is None:
                return None
            if msg.type in types and msg.seq == seq:
                return msg
            self.say("skipped %s" % msg.describe())

    def exchange(self, step, msg_type, body, answer_types, timeout=None, retries=None,
                 seq_reuse=False, **kw):
        """Sends a message and waits for its answer, resending it (same sequence) when the
        answer does not come. seq_reuse sends it with the previous message's number."""
        if self.args.silent_at == step:
            self.say("falling silent at step %s for %.1f s" % (step, self.args.silence))
            time.sleep(self.args.silence)
            raise FellSilent(step)
        timeout = self.args.answer_timeout if timeout is None else timeout
        retries = self.args.retries if retries is None else retries
        seq = self.seq if seq_reuse else None
        for attempt in range(retries + 1):
            seq = self.send(msg_type, body, seq=seq, **kw)
            kw.pop("break_checksum", None)
            msg = self.await_answer(seq, answer_types, timeout)
            if msg is not None:
                self.say("%s answered: %s" % (step, msg.describe()))
                return msg
            self.say("%s: no answer to sequence %d (attempt %d)" % (step, seq, attempt + 1))
        raise CallFailed("no answer at step %s" % step)

    # -- the call

    def connect(self):
        body = w.connect_body(self.args.identifier, self.args.station_type, self.args.level)
        # The first message may meet a line or modem that is not ready yet: try for a while.
        msg = self.exchange("connect", w.MSG_CONNECT, body, (w.MSG_CONNECT,),
                            timeout=self.args.connect_timeout, retries=self.args.connect_retries)
        self.session = msg.session

    def login(self):
        # The server pauses after its connect answer; the login waits in the line meanwhile.
        login_data = b"SIMDEV01".ljust(22, b"\0")
        msg = self.exchange("login", w.MSG_LOGIN, login_data, (w.MSG_STATUS,),
                            timeout=self.args.answer_timeout + 6)
        result, reason, _ = msg.status()
        if result != 0:
            raise CallFailed("login refused (reason %d)" % reason)
        self.session = msg.session
        self.say("logged in, session code %d" % self.session)

    def send_file(self, number, data, transfer_id):
        size = 350001 if self.args.oversize else len(data)
        body = w.file_body(0, transfer_id, size)
        if self.args.wrong_session_code and number == 1:
            msg = self.exchange("file", w.MSG_FILE, body, (w.MSG_STATUS,),
                                session=(self.session + 1) & 0xFFFF)
            self.say("RESULT file=%d wrong-session-code-answer=%s" % (
                number, w.REASON_NAMES.get(msg.status()[1], msg.status()[1])))
        msg = self.exchange("file", w.MSG_FILE, body, (w.MSG_STATUS,))
        result, reason, text = msg.status()
        if result != 0:
            self.say('RESULT file=%d refused reason=%s text="%s"' % (
                number, w.REASON_NAMES.get(reason, reason), text))
            return "refused"

        pieces = [data[i:i + PIECE] for i in range(0, len(data), PIECE)] or [b""]
        for index, piece in enumerate(pieces, start=1):
            last = index == len(pieces)
            kind = w.MSG_DATA_LAST if last else w.MSG_DATA
            corrupt = self.args.corrupt_piece == index
            msg = self.exchange("data", kind, piece, (w.MSG_STATUS,), break_checksum=corrupt)
            if msg.status()[0] != 0:
                self.say("piece %d refused" % index)
            if self.args.repeat_piece == index:
                # A device that missed the acknowledgement sends the same piece again.
                again = self.exchange("data", kind, piece, (w.MSG_STATUS,), seq_reuse=True)
                self.say("repeated piece %d answered: %s" % (index, again.describe()))

        msg = self.exchange("query", w.MSG_FILE_STATUS_QUERY, b"", (w.MSG_FILE_STATUS,),
                            timeout=self.args.answer_timeout + 5)
        verdict, tid = struct.unpack("<HH", msg.body[:4])
        self.say("RESULT file=%d size=%d transfer=%d verdict=%d %s" % (
            number, len(data), tid, verdict, "accepted" if verdict == 1 else "not-accepted"))
        return "accepted" if verdict == 1 else "not-accepted"

    def logout(self):
        self.exchange("logout", w.MSG_LOGOUT, b"", (w.MSG_STATUS,))

    def disconnect(self):
        # Unanswered by design; it ends the call so the server stops counting it as active.
        if self.args.silent_at == "disconnect":
            return
        self.send(w.MSG_DISCONNECT, struct.pack("<H", 0))
        self.say("sent MSG_DISCONNECT")


def load_files(args):
    files = []
    for path in args.file or []:
        with open(path, "rb") as f:
            files.append((path, f.read()))
    for i in range(args.count if args.generate else 0):
        data = objfile.generate(args.generate, seed=args.seed + i,
                                faulty=args.faulty_kind if args.faulty_obj else None)
        files.append(("generated-%d" % (i + 1), data))
    if args.save_dir:
        for i, (_, data) in enumerate(files, start=1):
            with open(os.path.join(args.save_dir, "sent-%d.obj" % i), "wb") as f:
                f.write(data)
    return files


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", "--tty", dest="tty", metavar="PATH",
                       help="serial port (/dev/ttyUSB1) or pty at the other end of the line")
    where.add_argument("--modem-socket", help="caller socket of the modem emulator")
    p.add_argument("--baud", type=serialport.check_rate, metavar="RATE",
                   help="set the port to RATE bits per second (57600 for baud code 576); "
                        "without it the port keeps its speed")
    p.add_argument("--file", action="append", help="OBJ file to send (repeatable)")
    p.add_argument("--generate", type=int, metavar="SIZE", help="send generated OBJ files")
    p.add_argument("--count", type=int, default=1, help="how many generated files")
    p.add_argument("--seed", type=int, default=1, help="seed of the first generated file")
    p.add_argument("--save-dir", help="write each sent file as sent-<n>.obj here")
    p.add_argument("--identifier", type=int, default=3)
    p.add_argument("--station-type", type=int, default=12)
    p.add_argument("--level", type=int, default=3)
    p.add_argument("--device-ip", default="192.9.9.4")
    p.add_argument("--server-ip", default="192.9.9.1")
    p.add_argument("--device-port", type=int, default=8888)
    p.add_argument("--answer-timeout", type=float, default=4.0,
                   help="seconds to wait for an answer before resending")
    p.add_argument("--retries", type=int, default=2, help="resends per message")
    p.add_argument("--connect-timeout", type=float, default=3.0)
    p.add_argument("--connect-retries", type=int, default=10)
    p.add_argument("--pause", type=float, default=1.5,
                   help="pause after a file's verdict before the next file")
    p.add_argument("--wrong-session-code", action="store_true",
                   help="announce the first file with a wrong session code first")
    p.add_argument("--corrupt-piece", type=int, metavar="N",
                   help="send piece N first with a broken UDP checksum")
    p.add_argument("--repeat-piece", type=int, metavar="N",
                   help="send piece N twice with the same sequence number")
    p.add_argument("--silent-at", choices=STEPS, help="fall silent at this step")
    p.add_argument("--silence", type=float, default=5.0, help="seconds of silence")
    p.add_argument("--oversize", action="store_true", help="announce 350001 bytes")
    p.add_argument("--faulty-obj", action="store_true", help="spoil the generated files")
    p.add_argument("--faulty-kind", choices=objfile.FAULTS, default="object-checksum")
    p.add_argument("--no-logout", action="store_true", help="hang up without logging out")
    p.add_argument("--no-disconnect", action="store_true",
                   help="stay connected after the logout")
    p.add_argument("--verbose", action="store_true", help="also print what is sent")
    args = p.parse_args(argv)
    if not args.file and not args.generate:
        p.error("give --file or --generate")
    if args.generate is not None and args.generate < objfile.MIN_SIZE:
        p.error("--generate needs at least %d bytes (the smallest OBJ file)" % objfile.MIN_SIZE)
    return args


START = time.monotonic()


def main(argv=None):
    args = parse_args(argv)
    files = load_files(args)
    try:
        line = TtyLine(args.tty, args.baud) if args.tty else SocketLine(args.modem_socket)
    except OSError as e:
        print("RESULT call-failed cannot open the line: %s" % e, flush=True)
        return 2
    device = Device(line, args, sys.stdout)
    outcomes = []
    try:
        device.connect()
        device.login()
        for number, (name, data) in enumerate(files, start=1):
            if number > 1:
                time.sleep(args.pause)
            device.say("sending %s (%d bytes)" % (name, len(data)))
            outcomes.append(device.send_file(number, data, transfer_id=number))
        if not args.no_logout:
            device.logout()
            if not args.no_disconnect:
                time.sleep(0.3)
                device.disconnect()
                time.sleep(0.5)  # let the line carry it before the port closes
    except FellSilent as e:
        device.say("RESULT silent-at=%s" % e)
        return 3
    except (CallFailed, OSError) as e:
        device.say("RESULT call-failed %s" % e)
        return 2
    finally:
        line.close()
    device.say("RESULT files=%d accepted=%d" % (len(outcomes), outcomes.count("accepted")))
    return 0 if outcomes and all(o == "accepted" for o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
