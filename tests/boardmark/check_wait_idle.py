#!/usr/bin/python3
"""Runs `boardmark --wait-idle=SECONDS ...` beside a busy process that it
starts: boardmark waits its SECONDS, says so on standard error, measures
anyway, and the context's warnings name the share the others used.

  check_wait_idle.py SECONDS -- COMMAND...
"""
import os
import re
import subprocess
import sys

SCALE = float(os.environ.get("TIMING_TEST_TIME_SCALE", "1"))


def main():
    seconds = float(sys.argv[1])
    command = sys.argv[sys.argv.index("--") + 1:]
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, timeout=seconds + 120 * SCALE,
                             check=False)
    finally:
        busy.kill()
        busy.wait()
    out = run.stdout.decode(errors="replace")
    err = run.stderr.decode(errors="replace")
    problems = []
    if run.returncode != 0:
        problems.append("exit status %d" % run.returncode)
    said = re.fullmatch(r"boardmark: waited ([0-9.]+) s, the machine never got quiet "
                        r"\(others used [0-9]+ % of it\); measuring anyway\n", err)
    if not said:
        problems.append("standard error %r does not say it waited in vain" % err)
    elif not seconds - 0.6 <= float(said.group(1)) <= seconds + 0.05:
        problems.append("waited %s s, not about %s s" % (said.group(1), seconds))
    if not re.search(r"\nwarnings: .*the machine never got quiet: others used [0-9]+ % of it "
                     r"while waiting [0-9.]+ s", out):
        problems.append("no warning in the context of %r" % out[:600])
    if "\ngetppid " not in out:
        problems.append("nothing measured: %r" % out[-300:])
    for p in problems:
        print("FAILED: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
