#!/usr/bin/env python3
"""Benchmarks of the communication process through the test bench. Prints figures and a
Markdown table; asserts nothing.

  bench.py transfer [--sizes 10000,100000] [--bauds 115200] [--modes classic,fast]
                    [--burst-ms 0,16]
  bench.py lines --count 8 [--size 350000] [--baud 115200] [--mode fast] [--burst-ms 0]
  bench.py idle [--seconds 60] [--links direct,modem] [--modes classic,fast]
  bench.py memory [--size 350000] [--baud 115200] [--modes fast]

transfer: the device simulator sends one generated OBJ file through the line emulator; the
figure is the seconds from sending MSG_FILE to receiving MSG_FILE_STATUS (device side), the
line limit is every frame byte of that exchange in both directions x 10 / baud, and the ratio
is the first over the second. Beside it: the process's own CPU seconds (user + system over its
whole life, from wait4 when it has ended) and CPU seconds per megabyte (10^6 bytes) of the file,
and its peak resident size (VmHWM). --burst-ms chooses the line emulator's delivery: 0 hands
over every byte when it arrives, B > 0 in bursts of up to B ms (each value is one run per cell).
lines: COUNT processes, each with its own emulated line and device, all sending one file at the
same time; every line's ratio, each process's CPU and the total.
idle: CPU seconds (from the scheduler's statistics in /proc) that the process uses in --seconds without a
call, after a 3 s settling time; direct line (line emulator) or modem (modem emulator).
memory: peak resident size (VmHWM) of the process over a whole transfer.

The pacing is chosen through the local profile (key CSI_FastLoop in section VELMAR of
LOC_WIN.INI); the process runs with "-pipename nopipe" and is ended with SIGTERM.
Standard library only; Linux only (/proc, wait4).
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
    """CPU seconds of the live threads of a process, in nanoseconds from the scheduler's
    statistics where the kernel has them, else in clock ticks from /proc/<pid>/stat."""
    try:
        total = 0
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        fields = read_proc(pid, "stat").rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime, stime
        return ticks / os.sysconf("SC_CLK_TCK")


def has_ended(process):
    """True when the child has ended, without reaping it (its usage is read when it is)."""
    return os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None


def reap_cpu_seconds(process):
    """Waits for a child that has been told to end; its user + system CPU seconds."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def peak_rss_kib(pid):
    m = re.search(r"VmHWM:\s+(\d+) kB", read_proc(pid, "status"))
    return int(m.group(1)) if m else 0


def wineserver_pid(prefix):
    """The Wine server of the prefix (it does the work of some of the process's calls)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if not read_proc(int(name), "comm").startswith("wineserver"):
                continue
            with open("/proc/%s/environ" % name, "rb") as f:
                if ("WINEPREFIX=%s" % prefix).encode() in f.read().split(b"\0"):
                    return int(name)
        except OSError:
            continue
    return None


def windows_path(path):
    """The Wine name of a Linux path: drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class World:
    """One process under test with its line or modem, in a fresh directory."""

    def __init__(self, args, mode, link, baud, burst_ms=0):
        self.args, self.mode, self.link, self.baud = args, mode, link, baud
        self.tmp = tempfile.mkdtemp(prefix="ecgcomm-bench-")
        self.ports = os.path.join(self.tmp, "ports")
        self.inbox = os.path.join(self.tmp, "in")
        appdata = os.path.join(self.tmp, "appdata")
        for d in (self.ports, self.inbox, appdata):
            os.makedirs(d)
        with open(os.path.join(self.tmp, "win.ini"), "w") as f:
            f.write("[VELMAR]\nVelmarAppDataPath=%s\n" % appdata)
        self.com_link = self.server = None
        if args.wine:
            prefix = os.environ["WINEPREFIX"]
            self.server = wineserver_pid(prefix)
            if self.server is None:
                raise RuntimeError("no wineserver for %s: start one with wineserver -p" % prefix)
            with open(os.path.join(prefix, "drive_c", "windows", "win.ini"), "w",
                      newline="\r\n") as f:
                f.write("[VELMAR]\nVelmarAppDataPath=%s\n" % windows_path(appdata))
            self.com_link = os.path.join(prefix, "dosdevices", "com%d" % COM)
            if os.path.lexists(self.com_link):
                os.unlink(self.com_link)
            os.symlink(os.path.join(self.ports, "COM%d" % COM), self.com_link)
        with open(os.path.join(appdata, "LOC_WIN.INI"), "w") as f:
            f.write("[VELMAR]\nCSI_FastLoop=%d\n" % (1 if mode == "fast" else 0))
        self.env = dict(os.environ, ECGCOMM_PORTS=self.ports,
                        ECGCOMM_WIN_INI=os.path.join(self.tmp, "win.ini"))
        self.children = []
        self.device_end = os.path.join(self.tmp, "dev")
        self.caller_socket = os.path.join(self.tmp, "caller.sock")
        if link == "direct":
            self.tool([os.path.join(args.testbench, "line.py"), "--com-dir", self.ports,
                       "--com", str(COM), "--peer-link", self.device_end, "--baud", str(baud),
                       "--burst-ms", str(burst_ms)])
            command = []
        else:
            self.tool([os.path.join(args.testbench, "modem.py"), "--com-dir", self.ports,
                       "--com", str(COM), "--caller-socket", self.caller_socket])
            command = ["-initstring", "ATE0S0=1", "-hangup-prefix", "+++",
                       "-hangup-suffix", "ATH0"]
        inbox = windows_path(self.inbox) if args.wine else self.inbox
        self.process = subprocess.Popen(
            (["wine"] if args.wine else []) +
            [args.binary, "-comport", str(COM), "-baudrate", str(baud // 100), "-directory",
             inbox, "-pipename", "nopipe"] + command,
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
        """Ends everything; the CPU seconds of the process and of the test-bench tools."""
        for p in [self.process] + self.children:
            if p.returncode is None:
                p.send_signal(signal.SIGTERM)
        used = []
        for p in [self.process] + self.children:
            deadline = time.monotonic() + 10
            while p.returncode is None and not has_ended(p) and time.monotonic() < deadline:
                time.sleep(0.02)
            if p.returncode is None and not has_ended(p):
                p.kill()
            used.append(reap_cpu_seconds(p) if p.returncode is None else 0.0)
        if self.com_link and os.path.lexists(self.com_link):
            os.unlink(self.com_link)
        shutil.rmtree(self.tmp, ignore_errors=True)
        return used[0], sum(used[1:])


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


def device_command(args, world, size):
    # A long answer time-out: the classic pacing needs about 0.25 s per piece.
    return [sys.executable, os.path.join(args.testbench, "device.py"), "--tty", world.device_end,
            "--generate", str(size), "--seed", "1", "--verbose", "--answer-timeout", "20"]


def transfer_seconds(returncode, output):
    """Seconds from MSG_FILE to MSG_FILE_STATUS in the device's output, and why not."""
    sent_file = answered = None
    for line in output.splitlines():
        m = STAMP.match(line)
        if not m:
            continue
        if m.group(2).startswith("sent MSG_FILE ") and sent_file is None:
            sent_file = float(m.group(1))
        elif m.group(2).startswith("query answered: MSG_FILE_STATUS"):
            answered = float(m.group(1))
    if returncode != 0 or sent_file is None or answered is None:
        tail = "\n".join(output.splitlines()[-5:])
        return None, "device exit %d: %s" % (returncode, tail)
    return answered - sent_file, ""


class Cell:
    """One transfer's figures."""

    def __init__(self, size, limit):
        self.size, self.limit = size, limit
        self.seconds, self.peak, self.cpu, self.tools_cpu, self.why = None, 0, None, None, ""
        self.server_cpu = None  # the Wine server's share, during the call

    def ratio(self):
        return "%.2f" % (self.seconds / self.limit) if self.seconds else "-"

    def cpu_per_mb(self):
        return "%.2f" % (self.cpu / (self.size / 1e6)) if self.cpu is not None else "-"

    def text(self):
        return "seconds=%s limit=%.2f ratio=%s cpu_s=%s cpu_s_per_mb=%s tools_cpu_s=%s " \
               "peak_rss_kib=%d %s" % (
                   "%.2f" % self.seconds if self.seconds else "-", self.limit, self.ratio(),
                   "%.3f" % self.cpu if self.cpu is not None else "-", self.cpu_per_mb(),
                   "%.2f" % self.tools_cpu if self.tools_cpu is not None else "-", self.peak,
                   self.why.splitlines()[0] if self.why else "") + (
                       " wineserver_cpu_s=%.3f" % self.server_cpu
                       if self.server_cpu is not None else "")


def run_transfer(args, mode, size, baud, burst_ms=0):
    cell = Cell(size, line_limit_seconds(args.testbench, size, 1, baud))
    world = World(args, mode, "direct", baud, burst_ms)
    try:
        server_before = cpu_seconds(world.server) if world.server else None
        device = subprocess.run(device_command(args, world, size), env=world.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=args.timeout)
        cell.peak = peak_rss_kib(world.process.pid) if not has_ended(world.process) else 0
        cell.seconds, cell.why = transfer_seconds(device.returncode, device.stdout)
        if server_before is not None:
            cell.server_cpu = cpu_seconds(world.server) - server_before
    except subprocess.TimeoutExpired:
        cell.why = "no result within %d s" % args.timeout
    finally:
        cell.cpu, cell.tools_cpu = world.close()
    return cell


def cmd_transfer(args):
    rows = []
    for size in args.sizes:
        for baud in args.bauds:
            for burst in args.burst_ms:
                cells = {}
                for mode in args.modes:
                    cell = run_transfer(args, mode, size, baud, burst)
                    cells[mode] = cell
                    print("transfer size=%d baud=%d burst_ms=%g mode=%s %s" % (
                        size, baud, burst, mode, cell.text()), flush=True)
                rows.append((size, baud, burst, cells))
    print()
    header = "| size | baud | delivery | line limit s |"
    rule = "|---:|---:|---|---:|"
    for mode in args.modes:
        header += " %s s | %s ratio | %s CPU s | %s CPU s/MB |" % (mode, mode, mode, mode)
        rule += "---:|---:|---:|---:|"
    print(header)
    print(rule)
    for size, baud, burst, cells in rows:
        delivery = "bursts %g ms" % burst if burst else "per byte"
        line = "| %d | %d | %s | %.2f |" % (size, baud, delivery, cells[args.modes[0]].limit)
        for mode in args.modes:
            c = cells[mode]
            line += (" %.2f | %s | %.3f | %s |" % (c.seconds, c.ratio(), c.cpu, c.cpu_per_mb())) \
                if c.seconds else (" failed | %s | | |" % c.why.splitlines()[0])
        print(line)


def cmd_lines(args):
    limit = line_limit_seconds(args.testbench, args.size, 1, args.baud)
    worlds, devices, cells = [], [], []
    try:
        for _ in range(args.count):
            worlds.append(World(args, args.mode, "direct", args.baud, args.burst_ms))
        started = time.monotonic()
        for world in worlds:
            # Into a file, not a pipe: a device whose pipe is full would stop until it is read.
            with open(os.path.join(world.tmp, "device.out"), "w") as out:
                devices.append(subprocess.Popen(device_command(args, world, args.size),
                                                env=world.env, stdout=out,
                                                stderr=subprocess.STDOUT))
        for world, device in zip(worlds, devices):
            cell = Cell(args.size, limit)
            try:
                device.wait(timeout=max(1.0, args.timeout - (time.monotonic() - started)))
                with open(os.path.join(world.tmp, "device.out")) as f:
                    cell.seconds, cell.why = transfer_seconds(device.returncode, f.read())
            except subprocess.TimeoutExpired:
                device.kill()
                device.wait()
                cell.why = "no result within %d s" % args.timeout
            cell.peak = peak_rss_kib(world.process.pid) if not has_ended(world.process) else 0
            cells.append(cell)
    finally:
        for i, world in enumerate(worlds):
            if i < len(cells):
                cells[i].cpu, cells[i].tools_cpu = world.close()
            else:
                world.close()
    print("| line | seconds | ratio | process CPU s | CPU s/MB | peak RSS KiB |")
    print("|---:|---:|---:|---:|---:|---:|")
    for i, c in enumerate(cells, start=1):
        print("| %d | %s | %s | %.3f | %s | %d |" % (
            i, "%.2f" % c.seconds if c.seconds else "failed", c.ratio(), c.cpu, c.cpu_per_mb(),
            c.peak))
    for i, c in enumerate(cells, start=1):
        if c.why:
            print("line %d: %s" % (i, c.why.replace("\n", " / ")))
    total = sum(c.cpu for c in cells)
    tools = sum(c.tools_cpu for c in cells)
    worst = max((c.seconds / c.limit for c in cells if c.seconds), default=0.0)
    print()
    print("lines count=%d size=%d baud=%d burst_ms=%g mode=%s limit=%.2f worst_ratio=%.2f "
          "failed=%d processes_cpu_s=%.3f tools_cpu_s=%.2f" % (
              args.count, args.size, args.baud, args.burst_ms, args.mode, limit, worst,
              sum(1 for c in cells if not c.seconds), total, tools))


def cmd_idle(args):
    server = "Wine server CPU s |" if args.wine else ""
    print("| link | mode | CPU s in %d s | share of a core | %s" % (args.seconds, server))
    print("|---|---|---:|---:|%s" % ("---:|" if args.wine else ""))
    for link in args.links:
        for mode in args.modes:
            world = World(args, mode, link, 115200 if link == "direct" else 57600)
            try:
                attached = world.wait_for_log("Attached slip driver", 15)
                time.sleep(3)  # let start-up settle
                if has_ended(world.process) or not attached:
                    print("| %s | %s | no link attached | |" % (link, mode))
                    continue
                before = cpu_seconds(world.process.pid)
                server_before = cpu_seconds(world.server) if world.server else 0.0
                time.sleep(args.seconds)
                used = cpu_seconds(world.process.pid) - before
                server = " %.4f |" % (cpu_seconds(world.server) - server_before) \
                    if world.server else ""
                print("| %s | %s | %.4f | %.4f %% |%s" % (
                    link, mode, used, 100.0 * used / args.seconds, server), flush=True)
            finally:
                world.close()


def cmd_memory(args):
    for mode in args.modes:
        cell = run_transfer(args, mode, args.size, args.baud)
        print("memory size=%d baud=%d mode=%s peak_rss_kib=%d transfer_s=%s %s" % (
            args.size, args.baud, mode, cell.peak,
            "%.2f" % cell.seconds if cell.seconds else "-", cell.why), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "server", "ecgcomm"))
    p.add_argument("--testbench", default=os.path.join(ROOT, "testbench"))
    p.add_argument("--timeout", type=int, default=1800, help="seconds per transfer")
    p.add_argument("--wine", action="store_true",
                   help="run the Windows build (--binary ecgcomm.exe) under Wine in the prefix "
                        "named by WINEPREFIX, one process at a time")
    sub = p.add_subparsers(dest="command", required=True)

    def ints(text):
        return [int(x) for x in text.split(",") if x]

    def floats(text):
        return [float(x) for x in text.split(",") if x]

    def words(text):
        return [x for x in text.split(",") if x]

    t = sub.add_parser("transfer")
    t.add_argument("--sizes", type=ints, default=[10000, 100000, 350000])
    t.add_argument("--bauds", type=ints, default=[9600, 38400, 115200])
    t.add_argument("--modes", type=words, default=["classic", "fast"])
    t.add_argument("--burst-ms", type=floats, default=[0.0],
                   help="line deliveries to measure: 0 per byte, B bursts of up to B ms")
    n = sub.add_parser("lines")
    n.add_argument("--count", type=int, default=8)
    n.add_argument("--size", type=int, default=350000)
    n.add_argument("--baud", type=int, default=115200)
    n.add_argument("--mode", choices=["classic", "fast"], default="fast")
    n.add_argument("--burst-ms", type=float, default=0.0)
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
    {"transfer": cmd_transfer, "lines": cmd_lines, "idle": cmd_idle,
     "memory": cmd_memory}[args.command](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
