#!/usr/bin/python3
"""Sends SIGTERM to a boardmark that is inside a driver run (it has a worker)
and checks that it ends through the signal within a bounded time, printing no
failed row, with no worker left behind.

  check_sigterm.py -- COMMAND...
"""
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


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def main():
    command = sys.argv[sys.argv.index("--") + 1:]
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
    program.send_signal(signal.SIGTERM)
    try:
        out, err = program.communicate(timeout=10 * SCALE)
    except subprocess.TimeoutExpired:
        program.kill()
        program.communicate()
        sys.exit(f"boardmark still ran {10 * SCALE:.0f} s after SIGTERM")
    problems = []
    if program.returncode != -signal.SIGTERM:
        problems.append(f"ended with {program.returncode}, not by SIGTERM")
    if b"failed" in out + err:
        problems.append("a row was reported failed: " + (out + err).decode(errors="replace"))
    left = [pid for pid in workers if alive(pid)]
    if left:
        problems.append(f"workers still running: {left}")
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
