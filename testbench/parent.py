#!/usr/bin/env python3
"""The parent application of the communication process: creates the control pipe, starts
ecgcomm with a command line, writes end events on cue and reports the exit code.

  parent.py --pipe demo --send first:after=5 -- build/ecgcomm -comport 3 -baudrate 576 \\
            -directory /tmp/in
  parent.py --pipe demo --send second:log="Client logged in." -- build/ecgcomm ...

The pipe (Linux): a Unix-domain stream socket at the name itself when it contains "/", else
at $TMPDIR/ecgcomm-pipe-<name> ($TMPDIR unset: /tmp). "-pipename <name>" is added to the
command line unless it already holds a -pipename. With --no-pipe nothing is created.

--send EVENT[:COND] (repeatable, done in order): EVENT is first (0x8E), second (0x8F) or a
byte such as 0x41; COND is after=SECONDS (counted from the previous step) or log=TEXT (the
log files of -directory show TEXT, counting only lines new since the previous step).
--close-pipe [COND] closes the parent's end of the pipe after the events (the process's
end-event thread then returns once the process has left its file loop).

Exit code: the process's exit code; 124 when --timeout passed and the process was killed.
Lines "parent: ..." on stdout say what happened.
"""

import argparse
import glob
import os
import signal
import socket
import subprocess
import sys
import time


def pipe_path(name):
    if "/" in name:
        return name
    tmp = os.environ.get("TMPDIR") or "/tmp"
    return os.path.join(tmp, "ecgcomm-pipe-" + name)


def option_value(cmd, option):
    for i, arg in enumerate(cmd[:-1]):
        if arg == option:
            return cmd[i + 1]
    return None


class LogWatch:
    """Reads the process's log files as they grow."""

    def __init__(self, directory):
        self.directory = directory
        self.seen = 0

    def text(self):
        parts = []
        for path in sorted(glob.glob(os.path.join(self.directory or ".", "**", "logfile_*.log"),
                                     recursive=True)):
            try:
                with open(path, "rb") as f:
                    parts.append(f.read().decode("latin-1"))
            except OSError:
                pass
        return "".join(parts)

    def mark(self):
        self.seen = len(self.text())

    def shows(self, needle):
        text = self.text()
        return needle in text[self.seen:] if len(text) >= self.seen else needle in text


def parse_step(text):
    kind, _, cond = text.partition(":")
    if kind == "first":
        data = b"\x8e"
    elif kind == "second":
        data = b"\x8f"
    elif kind == "close":
        data = None
    else:
        data = bytes([int(kind, 0) & 0xFF])
    if not cond:
        return data, ("after", 0.0)
    key, _, value = cond.partition("=")
    if key == "after":
        return data, ("after", float(value))
    if key == "log":
        return data, ("log", value)
    raise argparse.ArgumentTypeError("condition must be after=SECONDS or log=TEXT: " + text)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--pipe", default="ecgcomm", help="control pipe name")
    p.add_argument("--no-pipe", action="store_true", help="create no pipe (for -pipename nopipe)")
    p.add_argument("--send", action="append", default=[], type=parse_step, metavar="EVENT[:COND]")
    p.add_argument("--close-pipe", nargs="?", const="after=0", metavar="COND",
                   help="close the parent's end after the events")
    p.add_argument("--log-dir", help="where to watch the log (default: the -directory value)")
    p.add_argument("--accept-timeout", type=float, default=10.0,
                   help="seconds to wait for the process to connect")
    p.add_argument("--timeout", type=float, default=0.0,
                   help="kill the process after this many seconds (0: never)")
    p.add_argument("command", nargs=argparse.REMAINDER, help="-- ecgcomm and its arguments")
    args = p.parse_args(argv)
    cmd = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not cmd:
        p.error("give the command line of ecgcomm after --")
    steps = list(args.send)
    if args.close_pipe is not None:
        steps.append(parse_step("close:" + args.close_pipe))

    listener = None
    path = None
    if not args.no_pipe:
        if option_value(cmd, "-pipename") is None:
            cmd = cmd + ["-pipename", args.pipe]
        path = pipe_path(option_value(cmd, "-pipename"))
        if os.path.exists(path):
            os.unlink(path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(1)
        print("parent: pipe %s created" % path, flush=True)

    start = time.monotonic()
    proc = subprocess.Popen(cmd)
    print("parent: started pid %d: %s" % (proc.pid, " ".join(cmd)), flush=True)
    deadline = start + args.timeout if args.timeout > 0 else None
    watch = LogWatch(args.log_dir or option_value(cmd, "-directory"))

    def on_term(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    conn = None

    def expired():
        return deadline is not None and time.monotonic() > deadline

    try:
        if listener is not None:
            listener.settimeout(0.2)
            while conn is None and proc.poll() is None and not expired():
                try:
                    conn, _ = listener.accept()
                    print("parent: process connected to the pipe after %.2f s"
                          % (time.monotonic() - start), flush=True)
                except socket.timeout:
                    if time.monotonic() - start > args.accept_timeout:
                        break
        for data, (kind, value) in steps:
            if conn is None:
                print("parent: no pipe connection; events not sent", flush=True)
                break
            step_start = time.monotonic()
            while proc.poll() is None and not expired():
                if kind == "after" and time.monotonic() - step_start >= value:
                    break
                if kind == "log" and watch.shows(value):
                    break
                time.sleep(0.05)
            if proc.poll() is not None or expired():
                break
            watch.mark()
            if data is None:
                conn.close()
                conn = None
                print("parent: closed the pipe at %.2f s" % (time.monotonic() - start),
                      flush=True)
                continue
            conn.sendall(data)
            print("parent: wrote end event 0x%02X at %.2f s" % (data[0],
                                                              time.monotonic() - start),
                  flush=True)
        while proc.poll() is None and not expired():
            time.sleep(0.05)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
            print("parent: killed the process after %.1f s" % args.timeout, flush=True)
            return 124
        print("parent: process exited with code %d after %.2f s"
              % (proc.returncode, time.monotonic() - start), flush=True)
        return proc.returncode
    except KeyboardInterrupt:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
            print("parent: killed the process on request after %.2f s"
                  % (time.monotonic() - start), flush=True)
            return 143
        print("parent: process exited with code %d" % proc.returncode, flush=True)
        return proc.returncode
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if conn is not None:
            conn.close()
        if listener is not None:
            listener.close()
            if path and os.path.exists(path):
                os.unlink(path)


if __name__ == "__main__":
    sys.exit(main())
