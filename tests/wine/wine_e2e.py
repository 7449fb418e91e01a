#!/usr/bin/env python3
"""End-to-end cases of the Windows build under Wine: ecgcomm.exe started by the Windows parent
program (parent_win.exe) in the Wine prefix named by WINEPREFIX, its COM port a link
$WINEPREFIX/dosdevices/com<n> to a pty of the test bench's line or modem emulator, and the
device simulator on the Linux side.

  WINEPREFIX=... wine_e2e.py --build build-win [--case NAME ...] [--keep]

The cases run one after another because they share the prefix's WIN.INI. Each case gives the
process its own application data directory through VelmarAppDataPath. Exit code 0 when every
case passed. Standard library only.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..", "testbench")))
import world  # noqa: E402
from world import BENCH, PY, SHUTDOWN, Failure, expect, expect_in_order  # noqa: E402,F401


def windows_path(path):
    """The Wine name of a Linux path: drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class World(world.World):
    """One installation under Wine: destination, application data, COM link, parent."""

    helper_timeout = 15
    dump_tail = (4000, 8000)

    def __init__(self, name, build, com, keep, message_format=None):
        super().__init__("ecgwine_%s_" % name, com, keep, root_dir="/tmp")
        self.prefix = os.environ["WINEPREFIX"]
        self.build = build
        self.appdata = os.path.join(self.root, "appdata")
        os.makedirs(self.appdata)
        self.com_link = os.path.join(self.prefix, "dosdevices", "com%d" % com)
        if os.path.lexists(self.com_link):
            os.unlink(self.com_link)
        os.symlink(os.path.join(self.ports, "COM%d" % com), self.com_link)
        self.write_win_ini()
        if message_format is not None:
            with open(os.path.join(self.appdata, "LOC_WIN.INI"), "w", newline="\r\n") as f:
                f.write("[VELMAR]\nLOG_MessageFormat=%d\n" % message_format)

    def write_win_ini(self):
        path = os.path.join(self.prefix, "drive_c", "windows", "win.ini")
        kept = []
        if os.path.exists(path):
            with open(path, encoding="latin-1") as f:
                section = None
                for line in f.read().splitlines():
                    s = line.strip()
                    if s.startswith("["):
                        section = s.lower()
                    if section != "[velmar]":
                        kept.append(line)
        kept += ["[VELMAR]", "VelmarAppDataPath=%s" % windows_path(self.appdata)]
        with open(path, "w", encoding="latin-1", newline="\r\n") as f:
            f.write("\n".join(kept) + "\n")

    def start_parent(self, ecg_args, pipe):
        exe = os.path.join(self.build, "server", "ecgcomm.exe")
        parent = os.path.join(self.build, "tests", "wine", "parent_win.exe")
        self.parent_log = open(self.parent_out, "w")
        self.parent = subprocess.Popen(["wine", parent, pipe, windows_path(exe)] + ecg_args,
                                       stdin=subprocess.PIPE, stdout=self.parent_log,
                                       stderr=subprocess.STDOUT, env=self.env, cwd=self.root)

    def direct_args(self, baud_code="576"):
        return ["-comport", str(self.com), "-baudrate", baud_code, "-directory",
                windows_path(self.dest)]

    def tell_parent(self, command):
        self.parent.stdin.write((command + "\n").encode())
        self.parent.stdin.flush()

    def wait_parent(self, timeout):
        try:
            self.parent.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the process did not end within %.0f s" % timeout)
        return self.exit_code()

    def close(self, ok):
        if self.parent and self.parent.poll() is None:
            self.parent.kill()
            self.parent.wait(10)
        # A process that outlived its parent would keep the COM link busy for the next case.
        subprocess.run(["wine", "taskkill", "/f", "/im", "ecgcomm.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        self.stop_helpers()
        if os.path.lexists(self.com_link):
            os.unlink(self.com_link)
        self.finish(ok)


# ---------------------------------------------------------------- cases

def case_direct_call(w):
    """A device on a direct line sends one recording; it is stored byte for byte and confirmed."""
    w.start_line()
    w.start_parent(w.direct_args(), "ecgwine_direct")
    w.wait_log("Starting CSI task.", 30)
    rc, out = w.device(["--generate", "1500"])
    expect(rc == 0, "device exit code %d" % rc)
    expect("verdict=1 accepted" in out, "the device was told the file was accepted")
    w.wait_log("Client disconnected.", 20)
    w.tell_parent("first")
    expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
    w.same_files(1)
    log = w.log()
    expect_in_order(log, [
        "Starting communication process.",
        "Attached slip driver : COM port (%d). Baudrate (57600)." % w.com,
        "Starting CSI task.", "Client logged in.", "successfully stored.",
        "File successfully acknowledged.", "Client disconnected.", "1st end-event received.",
        "No communication in progress. Stopping communication-task."] + SHUTDOWN)
    expect("Log Level: Information\r\n" in log, "block entries without LOG_MessageFormat")
    expect(log.startswith("Log file of system: "), "the log starts with its header")


def case_modem_call(w):
    """A device dials in through the modem: initialised, one file stored, hung up at the end."""
    caller = os.path.join(w.root, "caller.sock")
    modem_log = os.path.join(w.root, "modem-commands.log")
    w.start_helper([os.path.join(BENCH, "modem.py"), "--com-dir", w.ports, "--com", str(w.com),
                    "--caller-socket", caller, "--init-answer", "0", "--log", modem_log],
                   "modem")
    w.start_parent(w.direct_args() + ["-initstring", "ATS0=1", "-hangup-prefix", "+++",
                                      "-hangup-suffix", "ATH0"], "ecgwine_modem")
    w.wait_log("Starting CSI task.", 40)
    rc, out = w.device(["--modem-socket", caller, "--generate", "1200"])
    expect(rc == 0, "device exit code %d" % rc)
    w.wait_log("Client disconnected.", 30)
    w.tell_parent("first")
    expect(w.wait_parent(60) == 0, "exit code %s" % w.exit_code())
    w.same_files(1)
    commands = ""
    with open(modem_log) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[1] == "rx":
                commands += bytes.fromhex(parts[2]).decode("latin-1")
    expect_in_order(commands, ["ATS0=1\r", "+++", "ATH0\r"])
    expect(commands.endswith("ATH0\r"), "hung up last: %r" % commands[-40:])
    expect_in_order(w.log(), ["Attached slip driver to modem : COM port (%d)." % w.com,
                              "Client logged in.", "File successfully acknowledged."]
                    + SHUTDOWN)


def case_end_idle(w):
    """0x8E while no call is in progress stops the process with exit code 0."""
    w.start_line()
    w.start_parent(w.direct_args(), "ecgwine_idle")
    w.wait_log("Starting CSI task.", 30)
    time.sleep(1.0)
    w.tell_parent("first")
    expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
    expect_in_order(w.log(), ["Starting CSI task.", "1st end-event received.",
                              "No communication in progress. Stopping communication-task.",
                              "Received abort."] + SHUTDOWN)


def case_cancel_during_transfer(w):
    """0x8F while a file is arriving cancels the call: nothing stored, exit code 0."""
    w.start_line()
    w.start_parent(w.direct_args(), "ecgwine_cancel")
    w.wait_log("Starting CSI task.", 30)
    mark = len(w.log())
    device = subprocess.Popen(
        [PY, os.path.join(BENCH, "device.py"), "--tty", w.device_tty, "--generate", "6000",
         "--retries", "0", "--answer-timeout", "3", "--save-dir", w.sent],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=w.env)
    try:
        w.wait_log("Client logged in.", 40, after=mark)
        time.sleep(1.0)
        w.tell_parent("second")
        expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
        out, _ = device.communicate(timeout=60)
    finally:
        if device.poll() is None:
            device.kill()
    expect(device.returncode == 2, "the device's call was cut off (exit %s)" % device.returncode)
    w.expect_cancelled()


def case_one_line_log(w):
    """LOG_MessageFormat=1 in LOC_WIN.INI, found through WIN.INI, gives one-line entries."""
    w.start_line()
    w.start_parent(w.direct_args(), "ecgwine_oneline")
    w.wait_log("Starting CSI task.", 30)
    w.tell_parent("first")
    expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
    log = w.log()
    header, _, entries = log.partition("-" * 64 + "\r\n\r\n")
    expect(entries, "entries follow the header")
    expect("Log Level:" not in entries, "no block entries")
    lines = entries.split("\r\n")
    expect(lines[-1] == "", "every entry ends with CR LF")
    for line in lines[:-1]:
        stamp, sep, text = line[:23], line[23:25], line[25:]
        expect(len(stamp) == 23 and stamp[4] == "-" and stamp[10] == " " and stamp[19] == "."
               and sep == "  " and text, "one-line entry: %r" % line)
    texts = [line[25:] for line in lines[:-1]]
    expect_in_order("\n".join(texts), ["Starting communication process.", "Starting CSI task.",
                                       "1st end-event received."] + SHUTDOWN)


def case_console_event(w):
    """Ctrl+C from the console while idle stops the process like 0x8E. Wine's
    GenerateConsoleCtrlEvent sends only Ctrl+C (Ctrl+Break is not implemented there), and only
    to processes on a console, so the parent gets one and starts the process in its own group."""
    w.start_line()
    w.env["ECGWIN_CONSOLE"] = "1"
    w.start_parent(w.direct_args(), "ecgwine_ctrl")
    w.wait_log("Starting CSI task.", 30)
    w.tell_parent("ctrl 0")
    expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
    expect_in_order(w.log(), ["Received console event CTRL_C_EVENT.", "1st end-event received.",
                              "No communication in progress. Stopping communication-task.",
                              "Received abort."] + SHUTDOWN)


def run_directly(w, args, timeout=60):
    """ecgcomm.exe started without the parent; returns its exit code."""
    exe = os.path.join(w.build, "server", "ecgcomm.exe")
    with open(os.path.join(w.root, "direct.out"), "w") as out:
        proc = subprocess.run(["wine", exe] + args, stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, env=w.env, timeout=timeout, cwd=w.root)
    return proc.returncode


def case_invalid_parameters(w):
    """A baud code the process does not know: exit code 1 and the reason in the log."""
    rc = run_directly(w, ["-comport", str(w.com), "-baudrate", "1234", "-directory",
                          windows_path(w.dest), "-pipename", "nopipe"])
    expect(rc == 1, "exit code %s" % rc)
    expect_in_order(w.log(), ["Starting communication process.",
                              "Unable to start CSI task. Parameters are invalid / missing."])


def case_missing_pipe(w):
    """A pipe nobody created: "Error opening pipe." and exit code 0, without serving calls."""
    w.start_line()
    rc = run_directly(w, w.direct_args() + ["-pipename", "ecgwine-nobody-made-this"])
    expect(rc == 0, "exit code %s" % rc)
    expect_in_order(w.log(), ["Starting communication process.", "Error opening pipe.",
                              "Exiting communication-process."])
    expect("Starting CSI task." not in w.log(), "no file loop without a pipe")


CASES = {
    "direct_call": (case_direct_call, 11, None),
    "modem_call": (case_modem_call, 12, None),
    "end_idle": (case_end_idle, 13, 0),
    "cancel_during_transfer": (case_cancel_during_transfer, 14, None),
    "one_line_log": (case_one_line_log, 15, 1),
    "invalid_parameters": (case_invalid_parameters, 16, None),
    "missing_pipe": (case_missing_pipe, 17, None),
    "console_event": (case_console_event, 18, None),
}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True, help="the Windows build folder")
    p.add_argument("--case", action="append", choices=sorted(CASES))
    p.add_argument("--keep", action="store_true", help="keep each case's directory")
    args = p.parse_args()
    if "WINEPREFIX" not in os.environ:
        print("WINEPREFIX must name a prepared Wine prefix")
        return 2
    failed = []
    for name in args.case or list(CASES):
        func, com, message_format = CASES[name]
        started = time.monotonic()
        world = World(name, os.path.abspath(args.build), com, args.keep, message_format)
        ok = False
        try:
            func(world)
            ok = True
            print("PASS wine.%s (%.1f s)" % (name, time.monotonic() - started))
        except (Failure, subprocess.TimeoutExpired) as e:
            print("FAIL wine.%s: %s" % (name, e))
            failed.append(name)
        finally:
            world.close(ok)
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
