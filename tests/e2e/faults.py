#!/usr/bin/env python3
"""Fault cases end to end: the real ecgcomm behind the line emulator, with the device
simulator retrying what went unanswered, as a real device does.

  faults.py line --binary build/server/ecgcomm [--calls N] [--seed S] [--keep]
  faults.py kill --binary build/server/ecgcomm [--kills N] [--seed S] [--keep]
  faults.py calls --binary build-fuzz/server/ecgcomm [--calls N] [--keep]

line: one process serves call after call over a line with bit errors (1e-4 and 1e-3 per bit),
      dropped bytes and latency. Over all calls, every file the device was told was accepted
      (verdict 1) is on disk byte for byte as exactly one .ECG, no .ECG holds bytes the device
      did not send, no .TMP stays, and the process is still serving at the end.
kill: SIGKILL hits the process at random moments of a transfer, again and again. There is never
      a partial or empty .ECG, and each restarted process serves a call again and continues
      the same log.
calls: N good calls back to back on a clean line, then the end event; the process must exit
      with 0 and, in a sanitizer build, without any report (a leak makes the exit code non-zero
      and prints "LeakSanitizer" on stderr).

CI runs a few calls and kills; give larger numbers by hand. Exit code 0 pass, 1 fail,
77 skipped. Reuses the worlds of e2e.py.
"""

import argparse
import glob
import socket
import os
import random
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

from e2e import Failure, expect  # noqa: E402

# Line profiles: (name, line options, file size, device options). At 1e-3 per bit most longer
# frames are hit, so files are small and the device tries more often.
PROFILES = [
    ("ber1e-4", ["--bit-error-rate", "0.0001", "--drop-rate", "0.001"], 1200,
     ["--answer-timeout", "1.5", "--retries", "8"]),
    ("ber1e-3", ["--bit-error-rate", "0.001", "--latency", "15"], 300,
     ["--answer-timeout", "1.2", "--retries", "25"]),
]

RESULT_FILE = re.compile(r"RESULT file=(\d+) size=\d+ transfer=\d+ verdict=(\d+)")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run_call(w, number, size, seed, device_opts):
    """One device call; returns (accepted contents, all sent contents)."""
    save = os.path.join(w.root, "call-%d" % number)
    os.makedirs(save)
    cmd = [e2e.PY, os.path.join(e2e.BENCH, "device.py"), "--tty", w.device_tty,
           "--generate", str(size), "--count", "2", "--seed", str(seed), "--save-dir", save,
           "--connect-retries", "20"] + device_opts
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=w.env,
                          timeout=600)
    out = proc.stdout.decode("latin-1")
    with open(os.path.join(w.root, "device.out"), "a") as f:
        f.write("=== call %d (exit %d)\n%s" % (number, proc.returncode, out))
    sent = [read(p) for p in sorted(glob.glob(os.path.join(save, "sent-*.obj")))]
    accepted = [read(os.path.join(save, "sent-%s.obj" % m.group(1)))
                for m in RESULT_FILE.finditer(out) if m.group(2) == "1"]
    # A call spoiled by the line may end early; the server must drop its session before the
    # next one can log in, which its idle time-outs do.
    return accepted, sent, proc.returncode


def check_store(w, accepted, sent):
    stored = [read(p) for p in w.ecg_files()]
    for content in accepted:
        expect(stored.count(content) == 1,
               "a file confirmed with 1 is on disk %d times" % stored.count(content))
    for content in stored:
        expect(content in sent, "a .ECG holds bytes the device never sent (%d bytes)"
               % len(content))
        expect(len(content) > 0, "an empty .ECG")
    expect(not glob.glob(os.path.join(w.dest, "*.TMP")), "a .TMP stayed behind")
    return stored


def case_line(w, args):
    rng = random.Random(args.seed)
    profile = PROFILES[args.profile]
    name, line_opts, size, device_opts = profile
    w.start_line(extra=line_opts + ["--seed", str(rng.randrange(1 << 30))])
    w.start_parent([], w.direct_args())
    w.wait_log("Starting CSI task.", 15)
    accepted, sent, clean = [], [], 0
    for number in range(args.calls):
        got, files, rc = run_call(w, number, size, 1000 * number + 1, device_opts)
        accepted += got
        sent += files
        clean += rc == 0
        check_store(w, accepted, sent)
        expect(w.parent.poll() is None, "the process ended during call %d" % number)
        if rc != 0:
            # Let the server's session time out before the next call, as a device would wait.
            time.sleep(2)
    print("profile %s: %d calls, %d without a hitch, %d files accepted, %d stored"
          % (name, args.calls, clean, len(accepted), len(w.ecg_files())))
    expect(len(accepted) > 0, "no file got through at all; the case proved nothing")
    expect(w.log().count("Client logged in.") >= args.calls,
           "every call was served (logins %d)" % w.log().count("Client logged in."))


def started_pid(w, after):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        pids = re.findall(r"started pid (\d+)", w.parent_text())
        if len(pids) > after:
            return int(pids[after])
        time.sleep(0.05)
    raise Failure("the parent did not report the process id")


def case_kill(w, args):
    rng = random.Random(args.seed)
    w.start_line()
    sent = []
    parents_out = []
    for round_ in range(args.kills + 1):
        # A new parent (and process) each round on the same destination and log.
        w.parent_out = os.path.join(w.root, "parent-%d.out" % round_)
        w.start_parent([], w.direct_args())
        pid = started_pid(w, 0)
        w.wait_log("Starting CSI task.", 15)
        save = os.path.join(w.root, "round-%d" % round_)
        os.makedirs(save)
        cmd = [e2e.PY, os.path.join(e2e.BENCH, "device.py"), "--tty", w.device_tty,
               "--generate", "1500", "--count", "2", "--seed", str(100 * round_ + 1),
               "--save-dir", save, "--connect-retries", "20", "--answer-timeout", "1.5"]
        out = open(os.path.join(w.root, "device-%d.out" % round_), "w+")
        device = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=w.env)
        if round_ < args.kills:
            # Anywhere from the connect to the end of the second file.
            time.sleep(rng.uniform(1.0, 16.0))
            os.kill(pid, signal.SIGKILL)
            w.wait_parent(15)
            device.kill()
            device.wait()
        else:
            rc = device.wait(300)
            out.seek(0)
            expect(rc == 0, "the restarted process served a whole call (device exit %d)" % rc)
        out.close()
        sent += [read(p) for p in glob.glob(os.path.join(save, "sent-*.obj"))]
        check_store(w, [], sent)
        parents_out.append(w.parent_out)
    # The log of every run is still there: each start added to the same files.
    starts = w.log().count("Starting communication process.")
    expect(starts == args.kills + 1, "the log holds %d starts, not %d" % (starts, args.kills + 1))
    print("%d kills; %d files stored, none partial" % (args.kills, len(w.ecg_files())))


def case_calls(w, args):
    # The test is the parent here: it owns the control pipe, so it can send the end event
    # exactly after the last call.
    w.start_line()
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(w.pipe)
    listener.listen(1)
    listener.settimeout(15)
    err_path = os.path.join(w.root, "ecgcomm.err")
    with open(err_path, "w") as err:
        proc = subprocess.Popen([w.binary] + w.direct_args(pipename=w.pipe), stdout=err,
                                stderr=subprocess.STDOUT, env=w.env)
    try:
        conn, _ = listener.accept()
        w.wait_log("Starting CSI task.", 15)
        sent = []
        for number in range(args.calls):
            save = os.path.join(w.root, "call-%d" % number)
            os.makedirs(save)
            out = subprocess.run(
                [e2e.PY, os.path.join(e2e.BENCH, "device.py"), "--tty", w.device_tty,
                 "--generate", "1500", "--seed", str(number + 1), "--save-dir", save],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=w.env, timeout=120)
            expect(out.returncode == 0, "call %d failed: %s" % (
                number, out.stdout.decode("latin-1")[-400:]))
            sent += [read(p) for p in glob.glob(os.path.join(save, "sent-*.obj"))]
        w.wait_log("Client disconnected.", 10)
        conn.sendall(b"\x8e")
        rc = proc.wait(60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        listener.close()
    with open(err_path, errors="replace") as f:
        err_text = f.read()
    expect("Sanitizer" not in err_text, "sanitizer report:\n" + err_text[-3000:])
    expect(rc == 0, "exit code %d" % rc)
    stored = check_store(w, sent, sent)
    expect(len(stored) == args.calls, "%d calls stored %d files" % (args.calls, len(stored)))
    print("%d calls, %d files stored, clean exit" % (args.calls, len(stored)))


CASES = {"line": (case_line, 23), "kill": (case_kill, 24), "calls": (case_calls, 25)}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--binary", required=True)
    p.add_argument("--calls", type=int, default=3, help="line: calls per run")
    p.add_argument("--profile", type=int, default=0, choices=range(len(PROFILES)),
                   help="line: 0 bit errors 1e-4 with drops, 1 bit errors 1e-3 with latency")
    p.add_argument("--kills", type=int, default=2, help="kill: how many kills")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = p.parse_args()
    func, com = CASES[args.case]
    world = e2e.World("faults_%s" % args.case, os.path.abspath(args.binary),
                      com + 10 * args.profile, args.keep)
    ok = False
    try:
        func(world, args)
        ok = True
        print("PASS faults %s" % args.case)
        return 0
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL faults %s: %s" % (args.case, e))
        return 1
    finally:
        world.close(ok)


if __name__ == "__main__":
    sys.exit(main())
