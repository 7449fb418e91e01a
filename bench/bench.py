#!/usr/bin/env python3
"""Benchmarks of the communication process through the test bench. Prints figures and a
Markdown table; asserts nothing.

  bench.py transfer [--sizes 10000,100000] [--bauds 115200] [--modes classic,fast]
  bench.py idle [--seconds 60] [--links direct,modem] [--modes classic,fast]
  bench.py memory [--size 350000] [--baud 115200] [--modes fast]

transfer: the device simulator sends one generated OBJ file through the line emulator; the
figure is the seconds from sending MSG_FILE to receiving MSG_FILE_STATUS (device side), the
line limit is every frame byte of that exchange in both directions x 10 / baud, and the ratio
is the first over the second. The process's own peak resident size (VmHWM) is printed too.
idle: CPU seconds (user + system, from /proc) that the process uses in --seconds without a
call, after a 3 s settling time; direct line (line emulator) or modem (modem emulator).
memory: peak resident size (VmHWM) of the process over a whole transfer.

The pacing is chosen through the local profile (key CSI_FastLoop in section VELMAR of
LOC_WIN.INI); the process runs with "-pipename nopipe" and is ended with SIGTERM.
Standard library only; Linux only (/proc).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
COM = 3


def read_proc(pid, name):
    with open("/proc/%d/%s" % (pid, name)) as f:
        return f.read()


def cpu_seconds(pid):
    fields = read_proc(pid, "stat").rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    m = re.search(r"VmHWM:\s+(\d+) kB", read_proc(pid, "status"))
    return int(m.group(1)) if m else 0


class World:
    """One process under test with its line or modem, in a fresh directory."""

    def __init__(self, args, mode, link, baud):
        self.args, self.mode, self.link, self.baud = args, mode, link, baud
        self.tmp = tempfile.mkdtemp(prefix="ecgcomm-bench-")
        self.ports = os.path.join(self.tmp, "ports")
        self.inbox = os.path.join(self.tmp, "in")
        appdata = os.path.join(self.tmp, "appdata")
        for d in (self.ports, self.inbox, appdata):
            os.makedirs(d)
        with open(os.path.join(self.tmp, "win.ini"), "w") as f:
            f.write("[VELMAR]\nVelmarAppDataPath=%s\n" % appdata)
        with open(os.path.join(appdata, "LOC_WIN.INI"), "w") as f:
            f.write("[VELMAR]\nCSI_FastLoop=%d\n" % (1 if mode == "fast" else 0))
        self.env = dict(os.environ, ECGCOMM_PORTS=self.ports,
                        ECGCOMM_WIN_INI=os.path.join(self.tmp, "win.ini"))
        self.children = []
        self.device_end = os.path.join(self.tmp, "dev")
        self.caller_socket = os.path.join(self.tmp, "caller.sock")
        if link == "direct":
            self.tool([os.path.join(args.testbench, "line.py"), "--com-dir", self.ports,
                       "--com", str(COM), "--peer-link", self.device_end, "--baud", str(baud)])
            command = []
        else:
            self.tool([os.path.join(args.testbench, "modem.py"), "--com-dir", self.ports,
                       "--com", str(COM), "--caller-socket", self.caller_socket])
            command = ["-initstring", "ATE0S0=1", "-hangup-prefix", "+++",
                       "-hangup-suffix", "ATH0"]
        self.process = subprocess.Popen(
            [args.binary, "-comport", str(COM), "-baudrate", str(baud // 100), "-directory",
             self.inbox, "-pipename", "nopipe"] + command,
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def tool(self, argv):
        child = subprocess.Popen([sys.executable] + argv, env=self.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
        if child.stdout.readline().strip() != "ready":
            raise RuntimeError("%s did not start" % argv[0])
        self.children.append(child)

    def wait_for_log(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for name in os.listdir(self.inbox):
                if name.startswith("logfile_"):
                    with open(os.path.join(self.inbox, name), "rb") as f:
                        if text.encode() in f.read():
                            return True
            time.sleep(0.1)
        return False

    def close(self):
        for p in [self.process] + self.children:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in [self.process] + self.children:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def line_limit_seconds(testbench, size, seed, baud):
    """Line time of the exchange from MSG_FILE to MSG_FILE_STATUS: every frame byte that
    crosses the line in either direction, at 10 bits per byte."""
    sys.path.insert(0, testbench)
    import csiwire as w
    import objfile
    data = objfile.generate(size, seed=seed)
    dev, srv = w.ip_bytes("192.9.9.4"), w.ip_bytes("192.9.9.1")
    total = 0
    ident = 100

    def frame(src, dst, msg):
        nonlocal ident
        ident += 1
        return len(w.slip_encode(w.build_datagram(src, dst, 8888, 8888, msg, ident)))

    def request(msg_type, body, seq):
        return frame(dev, srv, w.csi_message(msg_type, 5821, seq, body))

    def answer(msg_type, body, seq):
        return frame(srv, dev, w.csi_message(msg_type, 5821, seq, body))

    seq = 3
    total += request(w.MSG_FILE, w.file_body(0, 1, size), seq)
    total += answer(w.MSG_STATUS, bytes(4), seq)
    pieces = [data[i:i + 128] for i in range(0, len(data), 128)]
    for index, piece in enumerate(pieces, start=1):
        seq += 1
        kind = w.MSG_DATA_LAST if index == len(pieces) else w.MSG_DATA
        total += request(kind, piece, seq)
        total += answer(w.MSG_STATUS, bytes(4), seq)
    seq += 1
    total += request(w.MSG_FILE_STATUS_QUERY, b"", seq)
    total += answer(w.MSG_FILE_STATUS, bytes(4), seq)
    return total * 10.0 / baud


STAMP = re.compile(r"^\s*(\d+\.\d+) (.*)$")


def run_transfer(args, mode, size, baud):
    world = World(args, mode, "direct", baud)
    try:
        # A long answer time-out: the classic pacing needs about 0.25 s per piece.
        device = subprocess.run(
            [sys.executable, os.path.join(args.testbench, "device.py"), "--tty",
             world.device_end, "--generate", str(size), "--seed", "1", "--verbose",
             "--answer-timeout", "20"],
            env=world.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            timeout=args.timeout)
        sent_file = answered = None
        for line in device.stdout.splitlines():
            m = STAMP.match(line)
            if not m:
                continue
            if m.group(2).startswith("sent MSG_FILE ") and sent_file is None:
                sent_file = float(m.group(1))
            elif m.group(2).startswith("query answered: MSG_FILE_STATUS"):
                answered = float(m.group(1))
        peak = peak_rss_kib(world.process.pid) if world.process.poll() is None else 0
        if device.returncode != 0 or sent_file is None or answered is None:
            tail = "\n".join(device.stdout.splitlines()[-5:])
            return None, peak, "device exit %d: %s" % (device.returncode, tail)
        return answered - sent_file, peak, ""
    except subprocess.TimeoutExpired:
        return None, 0, "no result within %d s" % args.timeout
    finally:
        world.close()


def cmd_transfer(args):
    rows = []
    for size in args.sizes:
        for baud in args.bauds:
            limit = line_limit_seconds(args.testbench, size, 1, baud)
            cells = {}
            for mode in args.modes:
                seconds, peak, why = run_transfer(args, mode, size, baud)
                cells[mode] = (seconds, why)
                print("transfer size=%d baud=%d mode=%s seconds=%s limit=%.2f ratio=%s "
                      "peak_rss_kib=%d %s" % (
                          size, baud, mode, "%.2f" % seconds if seconds else "-", limit,
                          "%.2f" % (seconds / limit) if seconds else "-", peak, why),
                      flush=True)
            rows.append((size, baud, limit, cells))
    print()
    header = "| size | baud | line limit s |"
    rule = "|---:|---:|---:|"
    for mode in args.modes:
        header += " %s s | %s ratio |" % (mode, mode)
        rule += "---:|---:|"
    print(header)
    print(rule)
    for size, baud, limit, cells in rows:
        line = "| %d | %d | %.2f |" % (size, baud, limit)
        for mode in args.modes:
            seconds, why = cells[mode]
            line += (" %.2f | %.2f |" % (seconds, seconds / limit)) if seconds else \
                (" failed | %s |" % why.splitlines()[0])
        print(line)


def cmd_idle(args):
    print("| link | mode | CPU s in %d s | share of a core |" % args.seconds)
    print("|---|---|---:|---:|")
    for link in args.links:
        for mode in args.modes:
            world = World(args, mode, link, 115200 if link == "direct" else 57600)
            try:
                attached = world.wait_for_log("Attached slip driver", 15)
                time.sleep(3)  # let start-up settle
                if world.process.poll() is not None or not attached:
                    print("| %s | %s | no link attached | |" % (link, mode))
                    continue
                before = cpu_seconds(world.process.pid)
                time.sleep(args.seconds)
                used = cpu_seconds(world.process.pid) - before
                print("| %s | %s | %.2f | %.3f %% |" % (link, mode, used,
                                                       100.0 * used / args.seconds), flush=True)
            finally:
                world.close()


def cmd_memory(args):
    for mode in args.modes:
        seconds, peak, why = run_transfer(args, mode, args.size, args.baud)
        print("memory size=%d baud=%d mode=%s peak_rss_kib=%d transfer_s=%s %s" % (
            args.size, args.baud, mode, peak, "%.2f" % seconds if seconds else "-", why),
            flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "server", "ecgcomm"))
    p.add_argument("--testbench", default=os.path.join(ROOT, "testbench"))
    p.add_argument("--timeout", type=int, default=1800, help="seconds per transfer")
    sub = p.add_subparsers(dest="command", required=True)

    def ints(text):
        return [int(x) for x in text.split(",") if x]

    def words(text):
        return [x for x in text.split(",") if x]

    t = sub.add_parser("transfer")
    t.add_argument("--sizes", type=ints, default=[10000, 100000, 350000])
    t.add_argument("--bauds", type=ints, default=[9600, 38400, 115200])
    t.add_argument("--modes", type=words, default=["classic", "fast"])
    i = sub.add_parser("idle")
    i.add_argument("--seconds", type=int, default=60)
    i.add_argument("--links", type=words, default=["direct", "modem"])
    i.add_argument("--modes", type=words, default=["classic", "fast"])
    m = sub.add_parser("memory")
    m.add_argument("--size", type=int, default=350000)
    m.add_argument("--baud", type=int, default=115200)
    m.add_argument("--modes", type=words, default=["fast"])
    args = p.parse_args(argv)
    args.testbench = os.path.abspath(args.testbench)
    {"transfer": cmd_transfer, "idle": cmd_idle, "memory": cmd_memory}[args.command](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
