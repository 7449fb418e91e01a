#!/usr/bin/env python3
"""End-to-end cases: the real ecgcomm, its parent, a simulated line or modem and the device
simulator, each case in a world of its own. Exit code 0 pass, 1 fail. See tests/README.md.

  e2e.py CASE --binary build/server/ecgcomm [--calls N] [--profile P] [--crashpoint LIB]
  e2e.py CASE --wine build-win      (WINEPREFIX names a prepared prefix)
"""

import argparse
import contextlib
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "testbench"))
import world  # noqa: E402
from world import BENCH, PY, SHUTDOWN, Failure, expect, expect_in_order  # noqa: E402

RESULT = re.compile(r"RESULT file=(\d+) size=\d+ transfer=\d+ verdict=(\d+)")
PROFILES = [  # line options, file size, device options
    (["--bit-error-rate", "0.0001", "--drop-rate", "0.001"], 1200, ["--retries", "8"]),
    (["--bit-error-rate", "0.001", "--latency", "15"], 300,
     ["--answer-timeout", "1.2", "--retries", "25"]),
    (["--duplicate-rate", "0.05", "--truncate-rate", "0.03", "--latency", "5"], 1200,
     ["--retries", "8"]),
]

def read(path):
    return open(path, "rb").read()

class World(world.World):
    def __init__(self, case, args, com):
        super().__init__("ecg_e2e_%s_" % case, com, args.keep)
        self.binary = os.path.abspath(args.binary or "")
        self.env["ECGCOMM_PORTS"] = self.ports
        self.pacing = "classic"
        if os.environ.get("ECGCOMM_E2E_PACING") == "fast":
            self.fast_profile()

    def fast_profile(self):
        self.pacing, appdata = "fast", os.path.join(self.root, "appdata")
        os.makedirs(appdata, exist_ok=True)
        open(os.path.join(self.root, "win.ini"), "w").write(
            "[VELMAR]\nVelmarAppDataPath=%s\n" % appdata)
        open(os.path.join(appdata, "LOC_WIN.INI"), "w").write("[VELMAR]\nCSI_FastLoop=1\n")
        self.env["ECGCOMM_WIN_INI"] = os.path.join(self.root, "win.ini")

    def start_parent(self, sends=(), extra=(), out=None, close_pipe=False, pipe=True):
        """Starts the process; writes each (event, text) of `sends` once the log shows text."""
        self.parent_out = out or self.parent_out
        cmd = [PY, os.path.join(BENCH, "parent.py"), "--pipe", os.path.join(self.root, "ctl")]
        cmd += [] if pipe else ["--no-pipe"]
        extra = list(extra) + ([] if pipe else ["-pipename", "nopipe"])
        for event, text in sends:
            cmd += ["--send", "%s:log=%s" % (event, text)]
        cmd += ["--close-pipe", "log=CSI task stopped."] if close_pipe else []
        self.parent_log = open(self.parent_out, "w")
        self.parent = subprocess.Popen(
            cmd + ["--", self.binary, "-comport", str(self.com), "-baudrate", "576",
                   "-directory", self.dest] + list(extra),
            stdout=self.parent_log, stderr=subprocess.STDOUT, env=self.env)

    def event_to_exit(self):
        text = self.parent_text()
        wrote = float(re.search(r"wrote end event .* at ([\d.]+)", text).group(1))
        return float(re.search(r"exited with code \d+ after ([\d.]+)", text).group(1)) - wrote

    def wait_parent(self, timeout):
        try:
            self.parent.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the process did not end within %.0f s" % timeout)
        expect(self.exit_code() == 0, "exit code %s" % self.exit_code())

    def call(self, number, device_args, until_parent_ends=False):
        """One device call (cut short when the process ends if asked): accepted, sent, rc."""
        save = os.path.join(self.root, "call-%d" % number)
        os.makedirs(save)
        proc = subprocess.Popen([PY, os.path.join(BENCH, "device.py"), "--tty", self.device_tty,
                                 "--save-dir", save, "--connect-retries", "20",
                                 "--answer-timeout", "1.5"] + device_args,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env)
        if until_parent_ends:
            self.parent.wait(60)
            proc.kill()
        out = proc.communicate(timeout=600)[0].decode("latin-1")
        with open(os.path.join(self.root, "device.out"), "a") as f:
            f.write("=== call %d (exit %d)\n%s" % (number, proc.returncode, out))
        sent = {int(p.split("-")[-1][:-4]): read(p) for p in glob.glob(save + "/sent-*.obj")}
        accepted = [sent[int(m.group(1))] for m in RESULT.finditer(out) if m.group(2) == "1"]
        return accepted, list(sent.values()), proc.returncode

    def check_store(self, confirmed, sent):
        stored = [read(p) for p in self.ecg_files()]
        for content in confirmed:
            n = stored.count(content)
            expect(n == 1, "a confirmed file is on disk %d times" % n)
        for content in stored:
            expect(content in sent, "a .ECG of %d bytes the device never sent" % len(content))

    def close(self, ok):
        if self.parent and self.parent.poll() is None:
            self.parent.send_signal(signal.SIGTERM)
            self.parent.wait(10)
        self.stop_helpers()
        self.finish(ok)

def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")

class WineWorld(World):
    """ecgcomm.exe under Wine; parent_win.exe writes the end events this world hands it."""

    def __init__(self, case, args, com):
        world.World.__init__(self, "ecgwine_%s_" % case, com, args.keep, root_dir="/tmp")
        self.build, self.pacing = os.path.abspath(args.wine), "classic"
        prefix = os.environ["WINEPREFIX"]
        self.com_link = os.path.join(prefix, "dosdevices", "com%d" % com)
        if os.path.lexists(self.com_link):
            os.unlink(self.com_link)
        os.symlink(os.path.join(self.ports, "COM%d" % com), self.com_link)

    def start_parent(self, sends=(), extra=(), out=None, close_pipe=False, pipe=True):
        self.parent_log = open(self.parent_out, "w")
        self.parent = subprocess.Popen(
            ["wine", os.path.join(self.build, "parent_win.exe"), "ecgwine%d"
             % self.com, windows(os.path.join(self.build, "server", "ecgcomm.exe")), "-comport",
             str(self.com), "-baudrate", "576", "-directory", windows(self.dest)],
            stdin=subprocess.PIPE, stdout=self.parent_log, stderr=subprocess.STDOUT, env=self.env)

        def send():
            for event, text in sends:
                mark = len(self.log())
                while text not in self.log()[mark:] and self.parent.poll() is None:
                    time.sleep(0.1)
                self.parent.stdin.write((event + "\n").encode())
                self.parent.stdin.flush()
        threading.Thread(target=send, daemon=True).start()

    def close(self, ok):
        if self.parent and self.parent.poll() is None:
            self.parent.kill()
        # A process that outlived its parent would keep the COM link busy for the next case.
        subprocess.run(["wine", "taskkill", "/f", "/im", "ecgcomm.exe"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.stop_helpers()
        os.unlink(self.com_link)
        self.finish(ok)

def case_direct_two_files(w, args):
    w.start_line()
    w.start_parent([("first", "Client disconnected.")])
    w.wait_log("Starting CSI task.", 30)
    rc, out = w.device(["--generate", "1500", "--count", "2"])
    expect(rc == 0 and out.count("verdict=1 accepted") == 2, "both files confirmed with 1")
    w.wait_parent(40)
    w.same_files(2)
    expect_in_order(w.log(), [
        "Starting communication process. Version V7.0.",
        "Attached slip driver : COM port (%d). Baudrate (57600)." % w.com, "Starting CSI task.",
        "Client logged in.", "successfully stored.", "File successfully stored.",
        "File successfully acknowledged.", "successfully stored.", "File successfully stored.",
        # The engine may log the logout before the poster logs the last acknowledgement.
        "Client logged out.", "Client disconnected.", "1st end-event received.",
        "No communication in progress. Stopping communication-task.", "Received abort.",
        "CSI task stopped.", "Interprocess-communication thread exited.",
        "Exiting communication-process."])
    expect(w.log().count("File successfully acknowledged.") == 2, "two acknowledgements logged")

def case_modem(w, args):
    caller, commands = os.path.join(w.root, "caller.sock"), os.path.join(w.root, "modem.log")
    w.start_helper([os.path.join(BENCH, "modem.py"), "--com-dir", w.ports, "--com", str(w.com),
                    "--caller-socket", caller, "--init-answer", "0", "--log", commands], "modem")
    w.start_parent([("first", "Client disconnected.")],
                   ["-initstring", "ATS0=1", "-hangup-prefix", "+++", "-hangup-suffix", "ATH0"],
                   close_pipe=True)
    w.wait_log("Starting CSI task.", 20)
    rc, out = w.device(["--modem-socket", caller, "--generate", "1200"])
    expect(rc == 0, "device exit code %d" % rc)
    w.wait_parent(60)
    w.same_files(1)
    sent = "".join(bytes.fromhex(line.split()[2]).decode("latin-1")
                   for line in open(commands) if line.split()[1:2] == ["rx"])
    expect(sent.endswith("ATS0=1\r+++ATH0\r"), "initialised, then hung up: %r" % sent[-40:])
    expect_in_order(w.log(), ["Attached slip driver to modem : COM port (%d)." % w.com,
                              "Client logged in.", "File successfully acknowledged."] + SHUTDOWN)

def slow_line(w):  # so that an end event lands during a transfer in either pacing
    w.start_line(baud=9600 if w.pacing == "fast" else 57600)

def case_end_during_transfer(w, args):
    slow_line(w)
    w.start_parent([("first", "Client logged in.")], close_pipe=True)
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "3000", "--no-logout"])
    expect("verdict=1 accepted" in out, "the file was confirmed before the stop")
    w.wait_parent(40)
    w.same_files(1)
    expect_in_order(w.log(), [
        "Client logged in.", "1st end-event received.",
        "1st end-event received. Communication is in progress. Waiting for end of communication.",
        "File successfully stored.", "File successfully acknowledged."] + SHUTDOWN)

def case_cancel_during_transfer(w, args):
    slow_line(w)
    w.start_parent([("second", "Client logged in.")])
    w.wait_log("Starting CSI task.", 30)
    rc, out = w.device(["--generate", "4000", "--retries", "0", "--answer-timeout", "3"])
    expect(rc == 2, "the device's call was cut off (exit %d)" % rc)
    w.wait_parent(20)
    expect(w.event_to_exit() < 3.0, "the cancel took %.1f s" % w.event_to_exit())
    w.expect_cancelled()

def case_line(w, args):
    line_opts, size, device_opts = PROFILES[args.profile]
    w.start_line(extra=line_opts + ["--seed", str(args.profile + 7)])
    w.start_parent()
    w.wait_log("Starting CSI task.", 15)
    confirmed, sent = [], []
    for number in range(args.calls):
        got, files, rc = w.call(number, ["--generate", str(size), "--count", "2", "--seed",
                                         str(1000 * number + 1)] + device_opts)
        confirmed += got
        sent += files
        w.check_store(confirmed, sent)
        expect(not glob.glob(os.path.join(w.dest, "*.TMP")), "a .TMP stayed behind")
        expect(w.parent.poll() is None, "the process ended during call %d" % number)
        time.sleep(2 if rc else 0)  # a spoiled call: let the server's session time out first
    expect(confirmed, "no file got through at all; the case proved nothing")
    expect(w.log().count("Client logged in.") >= args.calls, "every call was served")

def case_storage_kills(w, args):
    wrapper = os.path.join(w.root, "ecgcomm-crashpoint")
    open(wrapper, "w").write('#!/bin/sh\nexec env LD_PRELOAD="%s" "%s" "$@"\n'
                             % (args.crashpoint, w.binary))
    os.chmod(wrapper, 0o755)
    w.binary = wrapper
    w.fast_profile()  # the steps of storing do not depend on the pacing; calls are shorter
    w.start_line()
    confirmed, sent, steps, at = [], [], 0, 0
    while at <= steps + 1:  # round 0 counts the steps, then a death at each, then a clean round
        ops = os.path.join(w.root, "steps-%d.log" % at)
        dies = 0 < at <= steps
        w.env.update(CRASHPOINT_DIR=w.dest, CRASHPOINT_LOG=ops, CRASHPOINT_AT=str(at * dies))
        w.start_parent(out=os.path.join(w.root, "parent-%d.out" % at))
        while w.log().count("Starting CSI task.") <= at:
            expect(w.parent.poll() is None, "round %d: the CSI task did not start" % at)
            time.sleep(0.05)
        got, files, rc = w.call(at, ["--generate", "400", "--seed", str(at + 1)], dies)
        sent += files
        if dies:
            expect(not got, "a file was confirmed by a process that died storing it")
            last = open(ops).read().split("\n")[-2].split(" ")
            expect(int(last[0]) == at, "round %d died at step %s" % (at, last[0]))
        else:
            expect(rc == 0 and len(got) == 1, "round %d: the call was not stored" % at)
            w.parent.send_signal(signal.SIGTERM)  # the parent kills the process
            w.parent.wait(15)
            confirmed += got
            steps = steps or len(open(ops).read().splitlines())
        w.check_store(confirmed, sent)
        expect(all(read(p) for p in w.ecg_files()), "round %d left an empty .ECG" % at)
        at += 1
    expect(steps >= 2, "storing took %d steps" % steps)
    starts = w.log().count("Starting communication process.")
    expect(starts == steps + 2, "the log holds %d starts, not %d" % (starts, steps + 2))

WAITING = "1st end-event received. Communication is in progress. Waiting for end of communication."
SIGNALS = {  # case: a pipe?, the signals, the device's call or None, log texts in a row
    "signal_idle": (True, [signal.SIGTERM], None, [
        "Received signal SIGTERM.", "1st end-event received.",
        "No communication in progress. Stopping communication-task."]),
    "signal_during_transfer": (False, [signal.SIGINT], ["--generate", "3000", "--no-logout"], [
        "Received signal SIGINT.", "1st end-event received.", WAITING]),
    "signals_cancel": (True, [signal.SIGHUP] * 2, ["--generate", "4000", "--retries", "0",
                                                   "--answer-timeout", "3"], [
        "Received signal SIGHUP.", "2nd end-event received. Cancelling communication."]),
}

def case_signal(w, args):
    pipe, signals, call, in_a_row = SIGNALS[args.case]
    slow_line(w)
    w.start_parent(pipe=pipe)
    w.wait_log("Starting CSI task.", 15)
    pid = int(re.search(r"started pid (\d+)", w.parent_text()).group(1))
    result = []
    device = threading.Thread(target=lambda: result.append(w.device(call or [])))
    if call:
        device.start()
        w.wait_log("Client logged in.", 30)
    for n, sig in enumerate(signals):
        if n:
            w.wait_log(WAITING, 10)
        os.kill(pid, sig)
    w.wait_parent(40)
    entries = re.findall(r"Text: (.*?)\r\n", w.log())
    expect(any(entries[i:i + len(in_a_row)] == in_a_row for i in range(len(entries))),
           "log: %s not in a row" % in_a_row)
    if not call:
        expect_in_order(w.log(), [in_a_row[-1], "Received abort.", "CSI task stopped.",
                                  "Interprocess-communication thread exited.",
                                  "Exiting communication-process."])
        return
    device.join(60)
    if len(signals) == 2:
        expect(result[0][0] == 2, "the device's call was cut off (exit %s)" % result[0][0])
        w.expect_cancelled()
    else:
        expect("verdict=1 accepted" in result[0][1], "the file was confirmed before the stop")
        w.same_files(1)
        expect_in_order(w.log(), [WAITING, "File successfully stored.",
                                  "File successfully acknowledged."] + SHUTDOWN)

def run_binary(w, argv, **env):
    proc = subprocess.run([w.binary] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, cwd=w.root, env=dict(w.env, **env),
                          timeout=60)
    return proc.returncode, proc.stderr.decode("latin-1")

def expect_told(err, reason, log_text):
    """The first line on standard error names the reason and a log file that holds log_text."""
    first = err.split("\n")[0]
    path = first.rsplit("; log written to ", 1)[-1]
    expect(first.startswith("ecgcomm: ") and reason in first and os.path.isabs(path)
           and log_text in read(path).decode("latin-1"), "console: %r" % first)

def case_console(w, args):
    w.fast_profile()  # a profile, so that a log without -directory stays in the world
    valid = ["-baudrate", "576", "-directory", w.dest, "-pipename", "nopipe"]
    for argv, reason in [
            ([], "invalid parameters: missing -comport, -baudrate, -directory, -pipename"),
            (["--help"], 'invalid parameters: unknown option "--help"; missing -comport'),
            (["-comport", "0"] + valid, '-comport "0" rejected (allowed: 1 to 256)'),
            (["-comport", "1", "-initstring", "ATZ"] + valid,
             "go together (missing -hangup-prefix, -hangup-suffix)")]:
        rc, err = run_binary(w, argv)
        expect(rc == 1 and err.split("\n")[1].startswith("usage: ecgcomm -comport <1..256>"),
               "%s: exit code %d, %r" % (argv, rc, err))
        expect_told(err, reason, "Unable to start CSI task. Parameters are invalid / missing.")
    rc, err = run_binary(w, ["-comport", "200"] + valid)  # a port this machine does not have
    expect(rc == 0, "server mode failure: exit code %d" % rc)
    expect_told(err, "server mode could not start on COM200 (", "CSI Server Mode failed")
    # The logger's writer is the first thread, the CSI task's the second.
    w.start_line()
    rc, err = run_binary(w, ["-comport", str(w.com)] + valid, LD_PRELOAD=args.crashpoint,
                         CRASHPOINT_FAIL_THREAD="2")
    expect(rc == 0, "a task thread that cannot start: exit code %d" % rc)
    expect_told(err, "server mode could not start on COM%d" % w.com,
                "CSI Server Mode failed with status 2")
    expect_in_order(w.log(), ["CSI Server Mode failed with status 2",
                              "Exiting communication-process."])

@contextlib.contextmanager
def exfat_mount(w):
    def run(*argv):
        tool = shutil.which(argv[0], path=os.environ["PATH"] + ":/usr/sbin:/sbin")
        expect(tool, "%s is missing (packages exfatprogs, exfat-fuse)" % argv[0])
        out = subprocess.run([tool] + list(argv[1:]), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=60, text=True)
        expect(out.returncode == 0, "%s: %s" % (" ".join(argv), out.stdout))
        return out.stdout.strip()
    image, mount = os.path.join(w.root, "exfat.img"), os.path.join(w.root, "exfat")
    os.makedirs(mount)
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    run("mkfs.exfat", image)
    device = run("losetup", "-f", "--show", image)
    try:
        run("mount.exfat-fuse", device, mount)
        try:
            yield mount
        finally:
            if w.parent and w.parent.poll() is None:
                w.parent.kill()
            w.stop_helpers()
            if subprocess.run(["umount", mount]).returncode != 0:
                subprocess.run(["umount", "-l", mount])
    finally:
        subprocess.run(["losetup", "-d", device])

def stores_and_refuses(w, root, preload, **faults):
    """Whole calls into root/in store every file byte for byte; a name taken while a file is
    being stored into root/taken is never replaced, and that file is refused. `faults` go to
    the preload library in both steps."""
    taken = "taken by another writer\n"
    for sub, count in (("in", 3), ("taken", 1)):
        w.dest = w.log_dir = os.path.join(root, sub)
        faults.update(CRASHPOINT_OCCUPY=taken) if sub == "taken" else None
        plain = w.env
        if faults:
            w.env = dict(w.env, LD_PRELOAD=preload, CRASHPOINT_DIR=w.dest, **faults)
        w.start_parent([("first", "Client disconnected.")], out=os.path.join(w.root, sub + ".out"))
        w.env = plain
        w.wait_log("Starting CSI task.", 15)
        rc, out = w.device(["--generate", "1500", "--count", str(count)])
        w.wait_parent(30)
        if sub == "in":
            expect(rc == 0, "every file confirmed")
            w.same_files(count)
    expect(rc == 1 and "verdict=2" in out, "the file whose name was taken was refused")
    expect([read(p) for p in w.ecg_files()] == [taken.encode()],
           "the taken name kept its file, and nothing else was stored")
    expect("Unable to rename file" in w.log(), "the refused rename is logged")

def case_exfat(w, args):  # as root only, and there it fails rather than skips
    w.fast_profile()
    with exfat_mount(w) as mount:
        open(os.path.join(mount, "probe"), "w").close()
        try:  # or the case would prove nothing
            os.link(os.path.join(mount, "probe"), os.path.join(mount, "probe2"))
            raise Failure("this mount takes hard links")
        except PermissionError:
            pass
        w.start_line()
        stores_and_refuses(w, mount, args.crashpoint)
        w.stop_helpers()
        w.dest = w.log_dir = os.path.join(mount, "kills")
        case_storage_kills(w, args)  # a death at every step of storing, there too

def case_no_hard_links(w, args):
    # link() refused as on FAT, CIFS or the kernel's exFAT, where renameat2 still refuses to
    # replace: the preload refuses it on any file system.
    w.start_line()
    calls = os.path.join(w.root, "calls.log")
    stores_and_refuses(w, w.root, args.crashpoint, CRASHPOINT_NO_LINKS="1", CRASHPOINT_LOG=calls)
    steps = [line.split()[1] for line in open(calls)]
    expect("renameat2" in steps and "rename" not in steps, "no-replace renames only: %s" % steps)

def case_console_event(w, args):  # Wine: Ctrl+C from the console while idle, like 0x8E
    w.start_line()
    w.env["ECGWIN_CONSOLE"] = "1"
    w.start_parent([("ctrl 0", "Starting CSI task.")])
    w.wait_parent(30)
    expect_in_order(w.log(), ["Received console event CTRL_C_EVENT.", "1st end-event received.",
                              "No communication in progress. Stopping communication-task.",
                              "Received abort."] + SHUTDOWN)

SQUATTER = ("import socket, sys, time\ns = socket.socket(socket.AF_UNIX)\ns.bind(sys.argv[1])\n"
            "s.listen(1)\nprint('listening', flush=True)\ntime.sleep(60)\n")

def case_squatted_pipe(w, args):  # as root: another user took the pipe's name first
    shared = os.path.join(w.root, "tmp")
    os.makedirs(shared)
    os.chmod(w.root, 0o711)
    os.chmod(shared, 0o1777)
    sock = os.path.join(shared, "ecgcomm-pipe-ward3")
    squatter = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                 "/usr/bin/python3", "-c", SQUATTER, sock],
                                stdout=subprocess.PIPE, text=True)
    try:
        expect(squatter.stdout.readline() == "listening\n", "the squatter could not listen")
        w.start_line()
        rc, err = run_binary(w, ["-comport", str(w.com), "-baudrate", "576", "-directory", w.dest,
                                 "-pipename", "ward3"], TMPDIR=shared)
    finally:
        squatter.kill()
        squatter.wait()
    owner = "user nobody (uid %d)" % os.stat(sock).st_uid
    expect(rc == 0 and 'pipe "%s" could not be opened (it belongs to %s)' % (sock, owner) in err,
           "exit code %d, %r" % (rc, err))
    expect_in_order(w.log(), ["Starting communication process.", "Error opening pipe.",
                              'Control pipe "%s" refused: it belongs to %s, not to this '
                              "process's user." % (sock, owner), "Exiting communication-process."])
    expect("Starting CSI task." not in w.log(), "the process served without its parent")

CASES = {"direct_two_files": 11, "modem": 12, "end_during_transfer": 16,
         "cancel_during_transfer": 17, "line": 23, "storage_kills": 26, "signal_idle": 31,
         "signal_during_transfer": 32, "signals_cancel": 33, "console": 34, "exfat": 36,
         "no_hard_links": 37, "console_event": 38, "squatted_pipe": 39}

def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--binary")
    p.add_argument("--wine", metavar="BUILD", help="run ecgcomm.exe of this build under Wine")
    p.add_argument("--calls", type=int, default=2, help="line: calls per run")
    p.add_argument("--profile", type=int, default=0, choices=range(len(PROFILES)))
    p.add_argument("--crashpoint", help="the preload library that kills or refuses")
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = p.parse_args()
    if args.case in ("exfat", "squatted_pipe") and os.getuid() != 0:
        print("not root: no loop device, FUSE mount or other user; skipped")
        return 77
    w = (WineWorld if args.wine else World)(args.case, args, CASES[args.case] + 10 * args.profile)
    ok = False
    try:
        globals()["case_" + ("signal" if args.case in SIGNALS else args.case)](w, args)
        ok = True
        print("PASS %s" % args.case)
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL %s: %s" % (args.case, e))
    finally:
        w.close(ok)
    return 0 if ok else 1

if __name__ == "__main__":
    sys.exit(main())
