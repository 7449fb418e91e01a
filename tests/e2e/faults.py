#!/usr/bin/env python3
"""Fault cases end to end: the real ecgcomm behind the line emulator, with the device
simulator retrying what went unanswered, as a real device does.

  faults.py line --binary build/server/ecgcomm [--calls N] [--seed S] [--keep]
  faults.py kill --binary build/server/ecgcomm [--kills N] [--seed S] [--keep]
  faults.py calls --binary build-fuzz/server/ecgcomm [--calls N] [--keep]
  faults.py storage_kills --binary build/server/ecgcomm --crashpoint build/.../libcrashpoint.so

line: one process serves call after call over a line with bit errors (1e-4 and 1e-3 per bit),
      dropped bytes and latency (profiles 0 and 1), or frames doubled and cut short (2). Over
      all calls, every file the device was told was accepted (verdict 1) is on disk byte for
      byte as exactly one .ECG, no .ECG holds bytes the device did not send, no .TMP stays, and
      the process is still serving at the end.
kill: SIGKILL hits the process at random moments of a transfer, again and again. There is never
      a partial or empty .ECG, and each restarted process serves a call again and continues
      the same log.
storage_kills: the process dies at each file-system step of storing a file in turn (a preloaded
      library kills it just before the chosen call): a first call counts the steps, then one
      call per step. After each death there is no partial or empty .ECG, every .ECG holds
      exactly what the device sent, and a last call on a restarted process is stored.
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
    ("frames", ["--duplicate-rate", "0.05", "--truncate-rate", "0.03", "--latency", "5"], 1200,
     ["--answer-timeout", "1.5", "--retries", "8"]),
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


def storage_round(w, number, at, ops_log):
    """One process, one call of one file; the process dies at storage step `at` (0: never).
    Returns (accepted contents, sent contents)."""
    w.env.update(CRASHPOINT_DIR=w.dest, CRASHPOINT_AT=str(at), CRASHPOINT_LOG=ops_log)
    w.parent_out = os.path.join(w.root, "parent-%d.out" % number)
    w.start_parent([], w.direct_args())
    pid = started_pid(w, 0)
    deadline = time.monotonic() + 15
    while w.log().count("Starting CSI task.") <= number:
        expect(time.monotonic() < deadline, "round %d: the CSI task did not start" % number)
        time.sleep(0.05)
    save = os.path.join(w.root, "round-%d" % number)
    os.makedirs(save)
    cmd = [e2e.PY, os.path.join(e2e.BENCH, "device.py"), "--tty", w.device_tty,
           "--generate", "400", "--seed", str(number + 1), "--save-dir", save,
           "--connect-retries", "20", "--answer-timeout", "1.5"]
    with open(os.path.join(w.root, "device-%d.out" % number), "w+") as out:
        device = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=w.env)
        if at > 0:
            w.wait_parent(60)
            device.kill()
            device.wait()
            expect(os.path.exists(ops_log), "round %d ended before storing anything" % number)
            with open(ops_log) as f:
                last = f.read().split("\n")[-2].split(" ")
            expect(int(last[0]) == at, "round %d died at step %s, not %d" % (number, last[0], at))
        else:
            rc = device.wait(120)
            expect(rc == 0, "round %d: the call failed (device exit %d)" % (number, rc))
            os.kill(pid, signal.SIGKILL)
            w.wait_parent(15)
        out.seek(0)
        text = out.read()
    sent = [read(p) for p in glob.glob(os.path.join(save, "sent-*.obj"))]
    accepted = [read(os.path.join(save, "sent-%s.obj" % m.group(1)))
                for m in RESULT_FILE.finditer(text) if m.group(2) == "1"]
    return accepted, sent


def case_storage_kills(w, args):
    expect(args.crashpoint and os.path.exists(args.crashpoint), "--crashpoint is needed")
    wrapper = os.path.join(w.root, "ecgcomm-crashpoint")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec env LD_PRELOAD="%s" "%s" "$@"\n' % (args.crashpoint, w.binary))
    os.chmod(wrapper, 0o755)
    w.binary = wrapper
    if w.pacing == "classic":
        w.use_pacing("fast")  # the steps of storing do not depend on the pacing; calls are shorter
    w.start_line()

    count_log = os.path.join(w.root, "steps-count.log")
    accepted, sent = storage_round(w, 0, 0, count_log)
    with open(count_log) as f:
        steps = [line.split(" ", 2) for line in f.read().splitlines()]
    expect(len(accepted) == 1 and len(steps) >= 2,
           "the counting call stored its file in %d steps (accepted %d)"
           % (len(steps), len(accepted)))
    check_store(w, accepted, sent)
    confirmed = list(accepted)
    for at in range(1, len(steps) + 1):
        got, files = storage_round(w, at, at, os.path.join(w.root, "steps-%d.log" % at))
        expect(not got, "a file was confirmed by a process that died while storing it")
        sent += files
        # A .TMP may stay after a death; it is never taken for a received file.
        stored = [read(p) for p in w.ecg_files()]
        for content in stored:
            expect(content in sent and len(content) > 0,
                   "after a death at step %d (%s): a .ECG that is not a whole sent file"
                   % (at, " ".join(steps[at - 1][1:])))
        for content in confirmed:
            expect(stored.count(content) == 1, "a confirmed file is no longer on disk once")
    final = len(steps) + 1
    got, files = storage_round(w, final, 0, os.path.join(w.root, "steps-final.log"))
    expect(len(got) == 1, "the restarted process did not store the last call's file")
    confirmed += got
    sent += files
    stored = [read(p) for p in w.ecg_files()]
    for content in confirmed:
        expect(stored.count(content) == 1, "a confirmed file is not on disk exactly once")
    starts = w.log().count("Starting communication process.")
    expect(starts == final + 1, "the log holds %d starts, not %d" % (starts, final + 1))
    print("%d storage steps, a death at each: %d .ECG on disk, none partial, %d .TMP left"
          % (len(steps), len(stored), len(glob.glob(os.path.join(w.dest, "*.TMP")))))
    for n, step in enumerate(steps, 1):
        print("  step %d: %s" % (n, " ".join(step[1:])))


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


CASES = {"line": (case_line, 23), "kill": (case_kill, 24), "calls": (case_calls, 25),
         "storage_kills": (case_storage_kills, 26)}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--binary", required=True)
    p.add_argument("--calls", type=int, default=3, help="line: calls per run")
    p.add_argument("--profile", type=int, default=0, choices=range(len(PROFILES)),
                   help="line: 0 bit errors 1e-4 with drops, 1 bit errors 1e-3 with latency, "
                        "2 frames doubled and cut short")
    p.add_argument("--kills", type=int, default=2, help="kill: how many kills")
    p.add_argument("--crashpoint", help="storage_kills: the preload library that kills")
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
