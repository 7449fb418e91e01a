#!/usr/bin/env python3
"""Cases from the field, through the real binary: stops by signal, the lines a person reads on
the console, a task thread that cannot be created, and a destination on exFAT (no hard links,
no no-replace rename) mounted through FUSE from a loop device; as root that case fails, never
skips, when it cannot mount. Options and exit codes as for faults.py:

  field.py CASE --binary build/server/ecgcomm --crashpoint .../libcrashpoint.so [--keep]
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import threading
from signal import SIGHUP, SIGINT, SIGTERM

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faults  # noqa: E402
from e2e import SHUTDOWN, SKIP, Failure, expect, expect_in_order  # noqa: E402

WAITING = "1st end-event received. Communication is in progress. Waiting for end of communication."
# (pipe, signals, device call or None, entries that follow each other in the log)
SIGNAL_CASES = {
    "signal_idle": (True, [SIGTERM], None, [
        "Received signal SIGTERM.", "1st end-event received.",
        "No communication in progress. Stopping communication-task."]),
    "signal_during_transfer": (False, [SIGINT], ["--generate", "3000", "--no-logout"], [
        "Received signal SIGINT.", "1st end-event received.", WAITING]),
    "signals_cancel": (True, [SIGHUP, SIGHUP], ["--generate", "4000", "--retries", "0",
                                                "--answer-timeout", "3"], [
        "Received signal SIGHUP.", "2nd end-event received. Cancelling communication."]),
}


def case_signal(w, args):
    pipe, signals, call, in_a_row = SIGNAL_CASES[args.case]
    (w.start_line_for_a_long_transfer if call else w.start_line)()
    w.start_parent([] if pipe else ["--no-pipe"],
                   w.direct_args(pipename=None if pipe else "nopipe"), pipe=pipe)
    pid = faults.started_pid(w, 0)
    w.wait_log("Starting CSI task.", 15)
    result = []
    thread = threading.Thread(target=lambda: result.append(w.device(call or [])))
    if call:
        thread.start()
        w.wait_log("Client logged in.", 30)
    for n, signal in enumerate(signals):
        if n:
            w.wait_log(WAITING, 10)
        os.kill(pid, signal)
    w.wait_parent(40)
    expect(w.exit_code() == 0, "exit code %s" % w.exit_code())
    if call:
        thread.join(60)
    entries = re.findall(r"Text: (.*?)\r\n", w.log())
    expect(any(entries[i:i + len(in_a_row)] == in_a_row for i in range(len(entries))),
           "log: %s not in a row" % in_a_row)
    if not call:
        expect_in_order(w.log(), [in_a_row[-1], "Received abort.", "CSI task stopped.",
                                  "Waiting for interprocess-communication thread to end.",
                                  "Interprocess-communication thread exited.",
                                  "Exiting communication-process."])
    elif len(signals) == 2:
        expect(result[0][0] == 2, "the device's call was cut off (exit %s)" % result[0][0])
        w.expect_cancelled()
    elif call:
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
           and log_text in open(path, "rb").read().decode("latin-1"), "console: %r" % first)


def case_console(w, args):
    w.use_pacing("fast")  # a profile, so that a log without -directory stays in the world
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


def case_thread_failure(w, args):
    # The logger's writer is the first thread; the CSI task's the second.
    rc, err = run_binary(w, w.direct_args(pipename="nopipe"), LD_PRELOAD=args.crashpoint,
                         CRASHPOINT_FAIL_THREAD="2")
    expect(rc == 0, "exit code %d: %s" % (rc, err[-300:]))
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


def stores_and_refuses(w, root, crashpoint, **faults):
    """Whole calls into root/in store every file byte for byte; a name taken while a file is
    being stored into root/taken is never replaced, and that file is refused. `faults` go to
    the preload library in both steps."""
    taken = "taken by another writer\n"
    for sub, count in (("in", 3), ("taken", 1)):
        w.dest = w.log_dir = os.path.join(root, sub)
        w.parent_out = os.path.join(w.root, "parent-%s.out" % sub)
        if sub == "taken":
            faults["CRASHPOINT_OCCUPY"] = taken
        plain = w.env
        if faults:
            w.env = dict(w.env, LD_PRELOAD=crashpoint, CRASHPOINT_DIR=w.dest, **faults)
        w.start_parent(["--send", "first:log=Client disconnected."], w.direct_args())
        w.env = plain
        w.wait_log("Starting CSI task.", 15)
        rc, out = w.device(["--generate", "1500", "--count", str(count)])
        expect(w.wait_parent(30) == 0, "exit code %s" % w.exit_code())
        if sub == "in":
            expect(rc == 0, "every file confirmed")
            w.same_files(count)
    expect(rc == 1 and "verdict=2" in out, "the file whose name was taken was refused")
    expect([open(p).read() for p in w.ecg_files()] == [taken],
           "the taken name kept its file, and nothing else was stored")
    expect("Unable to rename file" in w.log(), "the refused rename is logged")


def case_exfat(w, args):
    w.use_pacing("fast")
    with exfat_mount(w) as mount:
        open(os.path.join(mount, "probe"), "w").close()
        with contextlib.suppress(PermissionError):  # or the case would prove nothing
            os.link(os.path.join(mount, "probe"), os.path.join(mount, "probe2"))
            raise Failure("this mount takes hard links")
        w.start_line()
        stores_and_refuses(w, mount, args.crashpoint)
        w.stop_helpers()
        # Kills at every step of storing, into a destination of their own.
        w.dest = w.log_dir = os.path.join(mount, "kills")
        faults.case_storage_kills(w, args)


def case_no_hard_links(w, args):
    # link() refused as on FAT, CIFS or the kernel's exFAT, where renameat2 still refuses to
    # replace: the preload refuses it on any file system.
    w.use_pacing("fast")
    w.start_line()
    calls = os.path.join(w.root, "calls.log")
    stores_and_refuses(w, w.root, args.crashpoint, CRASHPOINT_NO_LINKS="1", CRASHPOINT_LOG=calls)
    steps = [line.split()[1] for line in open(calls)]
    expect("renameat2" in steps and "rename" not in steps, "no-replace renames only: %s" % steps)


CASES = dict({name: (case_signal, 31 + n) for n, name in enumerate(SIGNAL_CASES)},
             console=(case_console, 34), thread_failure=(case_thread_failure, 35),
             exfat=(case_exfat, 36), no_hard_links=(case_no_hard_links, 37))

if __name__ == "__main__":
    faults.CASES.update(CASES)  # run like the fault cases, with their options
    if sys.argv[1:2] == ["exfat"] and os.getuid() != 0:
        print("not root: no loop device or FUSE mount; skipped")
        sys.exit(SKIP)
    sys.exit(faults.main())
