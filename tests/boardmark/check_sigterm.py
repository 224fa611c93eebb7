#!/usr/bin/python3
"""Sends SIGTERM (or the signal named) to a boardmark that is inside a driver
run (it has a worker) and checks that it ends through the signal within a
bounded time, printing no failed row, with no process left behind: this
script is the child subreaper of the run, so anything boardmark did not reap
becomes a child of its own.

  check_sigterm.py [--signal NAME] -- COMMAND...
"""
import ctypes
import os
import signal
import subprocess
import sys
import time

SCALE = float(os.environ.get("TIMING_TEST_TIME_SCALE", "1"))


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


PR_SET_CHILD_SUBREAPER = 36


def main():
    options = sys.argv[1:sys.argv.index("--")]
    command = sys.argv[sys.argv.index("--") + 1:]
    sent = getattr(signal, options[1]) if options[:1] == ["--signal"] else signal.SIGTERM
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("cannot become the child subreaper: " + os.strerror(ctypes.get_errno()))
    program = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 60 * SCALE
    workers = []
    while not workers and time.monotonic() < deadline and program.poll() is None:
        time.sleep(0.05)
        workers = children(program.pid)
    if not workers:
        program.kill()
        program.wait()
        sys.exit(f"no driver run started within {60 * SCALE:.0f} s")
    program.send_signal(sent)
    try:
        out, err = program.communicate(timeout=10 * SCALE)
    except subprocess.TimeoutExpired:
        program.kill()
        program.communicate()
        sys.exit(f"boardmark still ran {10 * SCALE:.0f} s after {sent.name}")
    problems = []
    if program.returncode != -sent:
        problems.append(f"ended with {program.returncode}, not by {sent.name}")
    if b"failed" in out + err:
        problems.append("a row was reported failed: " + (out + err).decode(errors="replace"))
    left = children(os.getpid())
    if left:
        problems.append(f"left behind (workers seen: {workers}): {left}")
    for pid in left:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
