#!/usr/bin/env python3
"""End-to-end cases: the real ecgcomm, its parent, a simulated line or modem and the device
simulator, each case in a world of its own. Exit code 0 pass, 1 fail. See tests/README.md.

  e2e.py CASE --binary build/server/ecgcomm [--calls N] [--profile P] [--crashpoint LIB]
  e2e.py CASE --wine build-win      (WINEPREFIX names a prepared prefix)
"""

import argparse
import glob
import os
import re
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

    def start_parent(self, sends=(), extra=(), out=None, close_pipe=False):
        """Starts the process; writes each (event, text) of `sends` once the log shows text."""
        self.parent_out = out or self.parent_out
        cmd = [PY, os.path.join(BENCH, "parent.py"), "--pipe", os.path.join(self.root, "ctl")]
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

    def start_parent(self, sends=(), extra=(), out=None, close_pipe=False):
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

CASES = {"direct_two_files": 11, "modem": 12, "end_during_transfer": 16,
         "cancel_during_transfer": 17, "line": 23, "storage_kills": 26}

def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--binary")
    p.add_argument("--wine", metavar="BUILD", help="run ecgcomm.exe of this build under Wine")
    p.add_argument("--calls", type=int, default=2, help="line: calls per run")
    p.add_argument("--profile", type=int, default=0, choices=range(len(PROFILES)))
    p.add_argument("--crashpoint", help="storage_kills: the preload library that kills")
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = p.parse_args()
    w = (WineWorld if args.wine else World)(args.case, args, CASES[args.case] + 10 * args.profile)
    ok = False
    try:
        globals()["case_" + args.case](w, args)
        ok = True
        print("PASS %s" % args.case)
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL %s: %s" % (args.case, e))
    finally:
        w.close(ok)
    return 0 if ok else 1

if __name__ == "__main__":
    sys.exit(main())
