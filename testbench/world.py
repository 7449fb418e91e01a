"""What the end-to-end cases (tests/e2e/e2e.py, on Linux and under Wine) share: a temporary
world with its destination, the test bench's helpers (line, modem, device), the process's log
and stored files, and the checks the cases make on them. Each world adds how the process is
started and stopped on its platform. Standard library only."""

import glob
import os
import shutil
import subprocess
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
PY = "/usr/bin/python3"

# The last two lines of every orderly shut-down.
SHUTDOWN = ["CSI task stopped.", "Exiting communication-process."]


class Failure(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


def expect_in_order(text, needles):
    """Each needle appears after the previous one."""
    pos = 0
    for needle in needles:
        found = text.find(needle, pos)
        if found < 0:
            raise Failure('log: "%s" missing after position %d (earlier: %s)'
                          % (needle, pos, "found" if needle in text else "absent"))
        pos = found + len(needle)


class World:
    """One simulated installation in a temporary directory; `parent` is whatever process
    stands for the parent application, its output in parent.out."""

    helper_timeout = 10
    dump_tail = (6000, 12000)  # characters of each helper's output and of the log

    def __init__(self, prefix, com, keep, root_dir=None):
        self.com = com
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix=prefix, dir=root_dir)
        self.dest = os.path.join(self.root, "in")
        self.ports = os.path.join(self.root, "ports")
        self.sent = os.path.join(self.root, "sent")
        self.device_tty = os.path.join(self.root, "device-tty")
        os.makedirs(self.ports)
        os.makedirs(self.sent)
        self.env = dict(os.environ, TZ="UTC")
        self.helpers = []
        self.parent = None
        self.parent_out = os.path.join(self.root, "parent.out")
        self.log_dir = self.dest

    # -- helpers of the test bench

    def start_helper(self, args, name):
        out = open(os.path.join(self.root, name + ".out"), "w+")
        proc = subprocess.Popen([PY] + args, stdout=out, stderr=subprocess.STDOUT, env=self.env)
        self.helpers.append((proc, out))
        deadline = time.monotonic() + self.helper_timeout
        while time.monotonic() < deadline:
            out.seek(0)
            if "ready" in out.read():
                return proc
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        raise Failure("%s did not get ready" % name)

    def start_line(self, baud=57600, extra=()):
        self.start_helper([os.path.join(BENCH, "line.py"), "--com-dir", self.ports, "--com",
                           str(self.com), "--peer-link", self.device_tty, "--baud", str(baud)]
                          + list(extra), "line")

    def device(self, args, timeout=120):
        """One call of the device simulator; its exit code and output."""
        cmd = [PY, os.path.join(BENCH, "device.py")] + args + ["--save-dir", self.sent]
        if "--modem-socket" not in args:
            cmd += ["--tty", self.device_tty]
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=self.env, timeout=timeout)
        out = proc.stdout.decode("latin-1")
        with open(os.path.join(self.root, "device.out"), "a") as f:
            f.write(out)
        return proc.returncode, out

    # -- what the process left

    def log(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.log_dir, "**", "logfile_*.log"),
                                     recursive=True)):
            with open(path, "rb") as f:
                text += f.read().decode("latin-1")
        return text

    def wait_log(self, needle, timeout, after=0):
        """Waits until the log shows the needle past position `after`; a process that has
        ended can write nothing more, so its end fails the wait at once."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ended = self.parent is not None and self.parent.poll() is not None
            if needle in self.log()[after:]:
                return
            if ended:
                raise Failure('the process ended before the log showed "%s"' % needle)
            time.sleep(0.1)
        raise Failure('the log never showed "%s"' % needle)

    def parent_text(self):
        with open(self.parent_out, errors="replace") as f:
            return f.read()

    def exit_code(self):
        """The process's exit code as the parent reported it, or None."""
        for line in self.parent_text().splitlines():
            if "process exited with code" in line:
                return int(line.split("code")[1].split()[0])
        return None

    def ecg_files(self, directory=None):
        return sorted(glob.glob(os.path.join(directory or self.dest, "*.ECG")))

    def same_files(self, count):
        """The destination holds `count` .ECG files, byte for byte the ones the device sent,
        and no .TMP."""
        stored = self.ecg_files()
        expect(len(stored) == count, "expected %d .ECG files, found %d" % (count, len(stored)))
        sent = sorted(glob.glob(os.path.join(self.sent, "sent-*.obj")))
        expect(sorted(open(p, "rb").read() for p in stored)
               == sorted(open(p, "rb").read() for p in sent),
               "the stored files are not byte for byte the sent ones")
        expect(not glob.glob(os.path.join(self.dest, "*.TMP")), "a .TMP was left behind")

    def expect_cancelled(self):
        """A call cut off by the second end event: nothing stored, the cancel and the abort in
        the log, then the orderly shut-down."""
        expect(not self.ecg_files(), "nothing stored")
        log = self.log()
        expect_in_order(log, ["Client logged in.",
                              "2nd end-event received. Cancelling communication.",
                              "Received abort."] + SHUTDOWN)
        expect("File successfully stored." not in log, "no file handled")

    # -- the end of a case

    def stop_helpers(self):
        for proc, out in self.helpers:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
            out.close()
        self.helpers = []

    def finish(self, ok):
        """After the process and the helpers are stopped: shows what happened when the case
        failed, and removes the world unless it is to be kept."""
        if not ok:
            self.dump()
        if ok and not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)
        else:
            print("kept %s" % self.root)

    def dump(self):
        out_tail, log_tail = self.dump_tail
        for name in sorted(os.listdir(self.root)):
            if name.endswith(".out"):
                print("----- %s" % name)
                with open(os.path.join(self.root, name), errors="replace") as f:
                    print(f.read()[-out_tail:])
        print("----- log")
        print(self.log()[-log_tail:])
