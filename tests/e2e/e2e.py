#!/usr/bin/env python3
"""End-to-end cases: the real ecgcomm binary started by the parent tool, a simulated line
(pty pair) or the modem emulator, and the device simulator on the far end.

  e2e.py CASE --binary build/ecgcomm [--keep]

Each case works in its own temporary directory with its own COM number and pipe path, so
cases may run in parallel. ECGCOMM_E2E_PACING=fast runs the case with the engine's fast loop
(the world writes a profile setting CSI_FastLoop=1); unset or "classic" keeps the classic round. Exit code 0 pass, 1 fail, 77 skipped (a needed tool is missing).
"""

import argparse
import glob
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..", "testbench")))
import world  # noqa: E402
from world import BENCH, PY, SHUTDOWN, Failure, expect, expect_in_order  # noqa: E402,F401

SKIP = 77


class World(world.World):
    """One simulated installation: destination directory, ports directory, pipe, line."""

    def __init__(self, case, binary, com, keep):
        super().__init__("ecg_e2e_%s_" % case, com, keep)
        self.case = case
        self.binary = binary
        self.pipe = os.path.join(self.root, "ctl.sock")
        self.env["ECGCOMM_PORTS"] = self.ports
        self.use_pacing(os.environ.get("ECGCOMM_E2E_PACING", "classic"))

    def use_pacing(self, pacing):
        """The engine's pacing for this world: "classic" (the default, no profile at all) or
        "fast" (a profile whose local file sets CSI_FastLoop=1)."""
        self.pacing = pacing
        if pacing == "classic":
            return
        if pacing != "fast":
            raise Failure("unknown pacing %r" % pacing)
        appdata = os.path.join(self.root, "appdata")
        os.makedirs(appdata)
        win_ini = os.path.join(self.root, "win.ini")
        with open(win_ini, "w") as f:
            f.write("[VELMAR]\nVelmarAppDataPath=%s\n" % appdata)
        with open(os.path.join(appdata, "LOC_WIN.INI"), "w") as f:
            f.write("[VELMAR]\nCSI_FastLoop=1\n")
        self.env["ECGCOMM_WIN_INI"] = win_ini

    def start_line_for_a_long_transfer(self):
        """A line for cases whose end events must arrive while a file is still on its way. The
        classic round paces a file at 250 ms per piece whatever the line speed; the fast loop
        is paced by the line alone, so it gets 9,600 baud: about as slow per piece."""
        self.start_line(baud=9600 if self.pacing == "fast" else 57600)

    def start_parent(self, parent_args, ecg_args, pipe=True):
        cmd = [PY, os.path.join(BENCH, "parent.py")] + parent_args
        if pipe:
            cmd += ["--pipe", self.pipe]
        cmd += ["--", self.binary] + ecg_args
        self.parent_log = open(self.parent_out, "w")
        self.parent = subprocess.Popen(cmd, stdout=self.parent_log, stderr=subprocess.STDOUT,
                                       env=self.env)

    def direct_args(self, directory=None, pipename=None):
        args = ["-comport", str(self.com), "-baudrate", "576", "-directory",
                directory or self.dest]
        if pipename:
            args += ["-pipename", pipename]
        return args

    def wait_parent(self, timeout):
        try:
            return self.parent.wait(timeout)
        except subprocess.TimeoutExpired:
            self.parent.send_signal(signal.SIGTERM)
            self.parent.wait(10)
            raise Failure("the process did not end within %.0f s" % timeout)

    def close(self, ok):
        if self.parent and self.parent.poll() is None:
            self.parent.send_signal(signal.SIGTERM)
            try:
                self.parent.wait(10)
            except subprocess.TimeoutExpired:
                self.parent.kill()
        self.stop_helpers()
        self.finish(ok)


# ---------------------------------------------------------------- checks

def event_to_exit_seconds(w):
    wrote = exited = None
    for line in w.parent_text().splitlines():
        if "wrote end event" in line and wrote is None:
            wrote = float(line.split(" at ")[1].split()[0])
        if "process exited with code" in line:
            exited = float(line.split(" after ")[1].split()[0])
    return None if wrote is None or exited is None else exited - wrote


# ---------------------------------------------------------------- cases

def case_direct_two_files(w):
    w.start_line()
    w.start_parent(["--send", "first:log=Client disconnected."], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "1500", "--count", "2"])
    expect(rc == 0, "device exit code %d" % rc)
    expect(out.count("verdict=1 accepted") == 2, "both files confirmed with 1")
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(2)
    expect(not glob.glob(os.path.join(w.dest, "*.TMP")), "no .TMP left behind")
    log = w.log()
    expect_in_order(log, [
        "Starting communication process. Version V7.0.",
        "Attached slip driver : COM port (%d). Baudrate (57600)." % w.com,
        "Starting CSI task.",
        "Client logged in.",
        "successfully stored.", "File successfully stored.", "File successfully acknowledged.",
        "successfully stored.", "File successfully stored.",
        # The engine may log the logout before the poster logs the last acknowledgement.
        "Client logged out.", "Client disconnected.",
        "1st end-event received.", "No communication in progress. Stopping communication-task.",
        "Received abort."] + SHUTDOWN)
    expect(log.count("File successfully acknowledged.") == 2, "two acknowledgements logged")


def case_pacing(w):
    # The engine's pacing is what the world asked for. The classic round takes at most one
    # datagram per 250 ms, so 63 acknowledged pieces cannot take less than 15.75 s; the fast
    # loop is bounded by the line (about 1.1 s here), so half the classic minimum is a bound
    # only it can meet, however loaded the machine.
    size, pieces = 8000, 63
    w.start_line(baud=115200)
    w.start_parent(["--send", "first:log=Client disconnected."],
                   ["-comport", str(w.com), "-baudrate", "1152", "-directory", w.dest])
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", str(size), "--verbose", "--answer-timeout", "10"])
    expect(rc == 0, "device exit code %d" % rc)
    sent = answered = None
    for line in out.splitlines():
        parts = line.split(None, 1)
        if len(parts) < 2:
            continue
        if parts[1].startswith("sent MSG_FILE ") and sent is None:
            sent = float(parts[0])
        elif parts[1].startswith("query answered: MSG_FILE_STATUS"):
            answered = float(parts[0])
    expect(sent is not None and answered is not None, "the device reported its exchange")
    seconds = answered - sent
    classic_minimum = pieces * 0.25
    print("pacing %s: %d bytes in %.2f s" % (w.pacing, size, seconds))
    if w.pacing == "fast":
        expect(seconds < classic_minimum / 2,
               "fast loop took %.2f s, not under %.2f s" % (seconds, classic_minimum / 2))
    else:
        expect(seconds >= classic_minimum,
               "classic round took %.2f s, under %.2f s" % (seconds, classic_minimum))
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(1)


def case_misbehaving_device(w):
    # A device of identifier 7 / station type 70 on a slow, laggy line that first uses a wrong
    # session code, loses one piece to a broken checksum and repeats another: the file must
    # still arrive exactly once and be confirmed.
    w.start_line(baud=19200, extra=["--latency", "20"])
    w.start_parent(["--send", "first:log=Client disconnected."],
                   ["-comport", str(w.com), "-baudrate", "192", "-directory", w.dest])
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "1100", "--identifier", "7", "--station-type", "70",
                        "--wrong-session-code", "--corrupt-piece", "3", "--repeat-piece", "5",
                        "--answer-timeout", "2"])
    expect(rc == 0, "device exit code %d" % rc)
    expect("wrong-session-code-answer=RC_BADAUTH" in out, "wrong session code refused")
    expect("data: no answer to sequence" in out, "the damaged piece went unanswered")
    expect("repeated piece 5 answered" in out and "result=positive" in out.split(
        "repeated piece 5 answered")[1].splitlines()[0], "a repeated piece is acknowledged")
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(1)
    expect_in_order(w.log(), ["Same sequence number as last packet. Ignoring data.",
                              "File successfully stored.", "File successfully acknowledged."]
                    + SHUTDOWN)


def case_noisy_line(w):
    # Dropped bytes and flipped bits spoil frames in both directions; checksums must catch every
    # one, and the device's resends must still get the file through exactly once.
    w.start_line(extra=["--drop-rate", "0.002", "--bit-error-rate", "0.00005", "--seed", "7"])
    w.start_parent(["--send", "first:log=Client disconnected."], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "2000", "--answer-timeout", "1.5", "--retries", "6"])
    expect(rc == 0, "device exit code %d" % rc)
    w.wait_parent(60)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(1)


def case_modem(w):
    modem = os.path.join(BENCH, "modem.py")
    if not os.path.exists(modem):
        print("modem emulator not available: skipped")
        return SKIP
    caller = os.path.join(w.root, "caller.sock")
    modem_log = os.path.join(w.root, "modem-commands.log")
    w.start_helper([modem, "--com-dir", w.ports, "--com", str(w.com), "--caller-socket", caller,
                    "--init-answer", "0", "--log", modem_log], "modem")
    w.start_parent(["--send", "first:log=Client disconnected.", "--close-pipe",
                    "log=CSI task stopped."],
                   w.direct_args() + ["-initstring", "ATS0=1", "-hangup-prefix", "+++",
                                      "-hangup-suffix", "ATH0"])
    w.wait_log("Starting CSI task.", 20)
    rc, out = w.device(["--modem-socket", caller, "--generate", "1200"])
    expect(rc == 0, "device exit code %d" % rc)
    w.wait_parent(60)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(1)
    # The emulator logs each chunk of command-mode bytes as "<time> rx <hex>".
    commands = ""
    with open(modem_log) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[1] == "rx":
                commands += bytes.fromhex(parts[2]).decode("latin-1")
    expect_in_order(commands, ["ATS0=1\r", "+++", "ATH0\r"])
    last_init = commands.rfind("ATS0=1")
    expect(commands.find("+++", last_init) > last_init and commands.endswith("ATH0\r"),
           "hang-up with prefix and suffix at close: %r" % commands[-40:])
    expect_in_order(w.log(), ["Attached slip driver to modem : COM port (%d)." % w.com,
                              "Client logged in.", "File successfully acknowledged."]
                    + SHUTDOWN)


def case_modem_init_error(w):
    modem = os.path.join(BENCH, "modem.py")
    if not os.path.exists(modem):
        print("modem emulator not available: skipped")
        return SKIP
    w.start_helper([modem, "--com-dir", w.ports, "--com", str(w.com), "--caller-socket",
                    os.path.join(w.root, "caller.sock"), "--init-answer", "4"], "modem")
    w.start_parent(["--timeout", "60"],
                   w.direct_args() + ["-initstring", "ATS0=1", "-hangup-prefix", "+++",
                                      "-hangup-suffix", "ATH0"])
    w.wait_parent(65)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    expect_in_order(w.log(), ["Error attaching slip driver to modem : COM port (%d)." % w.com,
                              "CSI Server Mode failed with status 2",
                              "Exiting communication-process."])
    expect("Starting CSI task." not in w.log(), "no file loop without a link")


def case_faulty_obj(w):
    w.start_line()
    w.start_parent(["--send", "first:log=Client disconnected."], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "1000", "--faulty-obj"])
    expect(rc == 1, "device exit code %d (expected 1: not accepted)" % rc)
    expect("verdict=2 not-accepted" in out, "device told 2")
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    expect(not w.ecg_files(), "no .ECG for a faulty file")
    log = w.log()
    expect_in_order(log, ["Client logged in.", "Error in received file.", "Client logged out."]
                    + SHUTDOWN)
    expect("File successfully stored." not in log, "nothing stored")


def case_unwritable_destination(w):
    w.start_line()
    moved = w.dest + ".moved"
    w.start_parent(["--send", "first:log=Client disconnected.", "--log-dir", moved],
                   w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    # The log file stays open in the moved directory; a plain file now blocks the destination.
    os.rename(w.dest, moved)
    with open(w.dest, "w") as f:
        f.write("not a directory\n")
    w.log_dir = moved
    rc, out = w.device(["--generate", "800"])
    expect(rc == 1, "device exit code %d (expected 1: not accepted)" % rc)
    expect("verdict=2 not-accepted" in out, "device told 2")
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    expect(not w.ecg_files(moved), "nothing stored")
    expect_in_order(w.log(), ["Client logged in.", "Error storing file.", "File rejected."]
                    + SHUTDOWN)


def case_end_idle(w):
    w.start_line()
    w.start_parent(["--send", "first:log=Starting CSI task."], w.direct_args())
    w.wait_parent(20)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    seconds = event_to_exit_seconds(w)
    # About a second by design; a loaded machine gets some slack.
    expect(seconds is not None and seconds < 3.0, "exit took %s s after the event" % seconds)
    expect_in_order(w.log(), [
        "Starting CSI task.", "1st end-event received.",
        "No communication in progress. Stopping communication-task.", "Received abort.",
        "CSI task stopped.", "Interprocess-communication thread", "Exiting communication-process."])


def case_end_during_transfer(w):
    w.start_line_for_a_long_transfer()
    w.start_parent(["--send", "first:log=Client logged in.", "--close-pipe",
                    "log=CSI task stopped."], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "3000", "--no-logout"])
    expect("verdict=1 accepted" in out, "the file was confirmed before the stop")
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    w.same_files(1)
    expect_in_order(w.log(), [
        "Client logged in.", "1st end-event received.",
        "1st end-event received. Communication is in progress. Waiting for end of communication.",
        "File successfully stored.", "File successfully acknowledged."] + SHUTDOWN)


def case_cancel_during_transfer(w):
    w.start_line_for_a_long_transfer()
    w.start_parent(["--send", "second:log=Client logged in."], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "4000", "--retries", "0", "--answer-timeout", "3"])
    expect(rc == 2, "the device's call was cut off (exit %d)" % rc)
    w.wait_parent(20)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    seconds = event_to_exit_seconds(w)
    expect(seconds is not None and seconds < 3.0, "cancel took %s s" % seconds)
    w.expect_cancelled()


def case_nopipe(w):
    w.start_line()
    w.start_parent(["--no-pipe", "--timeout", "120"], w.direct_args(pipename="nopipe"),
                   pipe=False)
    w.wait_log("Starting CSI task.", 15)
    rc, out = w.device(["--generate", "600"])
    expect(rc == 0, "device exit code %d" % rc)
    w.same_files(1)
    time.sleep(1.0)
    expect(w.parent.poll() is None, "the process still serves after the call")
    w.parent.send_signal(signal.SIGTERM)
    w.parent.wait(10)
    expect("killed the process on request" in w.parent_text(), "ended from outside")
    expect("Error opening pipe." not in w.log(), "no pipe was opened")


def case_missing_pipe(w):
    w.start_line()
    w.start_parent(["--no-pipe", "--timeout", "20"],
                   w.direct_args(pipename=os.path.join(w.root, "nobody-made-this")), pipe=False)
    w.wait_parent(25)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    expect_in_order(w.log(), ["Starting communication process.", "Error opening pipe.",
                              "Exiting communication-process."])
    expect("Starting CSI task." not in w.log(), "no file loop without a pipe")


def case_missing_port(w):
    # No line and no COM link: the port exists nowhere.
    w.start_parent(["--timeout", "20"], w.direct_args())
    w.wait_parent(25)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    expect_in_order(w.log(), ["Starting communication process.",
                              "CSI Server Mode failed with status 2",
                              "Exiting communication-process."])


CASES = {
    "direct_two_files": (case_direct_two_files, 11),
    "modem": (case_modem, 12),
    "faulty_obj": (case_faulty_obj, 13),
    "unwritable_destination": (case_unwritable_destination, 14),
    "end_idle": (case_end_idle, 15),
    "end_during_transfer": (case_end_during_transfer, 16),
    "cancel_during_transfer": (case_cancel_during_transfer, 17),
    "nopipe": (case_nopipe, 18),
    "missing_pipe": (case_missing_pipe, 19),
    "missing_port": (case_missing_port, 200),
    "misbehaving_device": (case_misbehaving_device, 20),
    "noisy_line": (case_noisy_line, 21),
    "modem_init_error": (case_modem_init_error, 22),
    "pacing": (case_pacing, 23),
}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--binary", required=True)
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = p.parse_args()
    func, com = CASES[args.case]
    world = World(args.case, os.path.abspath(args.binary), com, args.keep)
    ok = False
    try:
        result = func(world)
        ok = True
        if result == SKIP:
            return SKIP
        print("PASS %s" % args.case)
        return 0
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL %s: %s" % (args.case, e))
        return 1
    finally:
        world.close(ok)


if __name__ == "__main__":
    sys.exit(main())
