#!/usr/bin/python3
"""Checks the JSON Lines of `boardmark all --json`: every line validates against
the library's report schema and the first is the run context (both checked
by tests/reports/check_report_lines.py), exactly one context line, and every
measurement has its rows, each named by its params and made of at least 5
samples.

  check_boardmark_json.py --schema FILE [--cpus N] -- COMMAND...   runs COMMAND
  check_boardmark_json.py --schema FILE [--cpus N] --input FILE     reads FILE
  check_boardmark_json.py --schema FILE --clock -- COMMAND...       `boardmark clock --json`

A command must exit with 0 and, its standard error not being a terminal, write
nothing there (but the clock's warnings). --cpus is the online (and allowed)
CPU count of the machine the run was made on, by default this machine's. The
clock has an idle and an after_load row for one CPU of each cpufreq policy of
this machine (each allowed CPU where there is none), each with a positive
clock that agrees with its report.
"""
import glob
import argparse
import json
import os
import subprocess
import sys

LINE_CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reports",
                          "check_report_lines.py")

PARAM_KEYS = ["measurement", "size", "op", "workers", "pages", "cpus"]


class Problems:
    def __init__(self):
        self.items = []

    def add(self, text):
        self.items.append(text)


def read_lines(args, problems):
    if args.input:
        with open(args.input, encoding="utf-8") as f:
            return f.read().splitlines()
    run = subprocess.run(args.command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         stdin=subprocess.DEVNULL, check=False)
    if run.returncode != 0:
        problems.add("exit status %d" % run.returncode)
    errors = run.stderr.decode(errors="replace")
    if args.clock:
        errors = "".join(line for line in errors.splitlines(True)
                         if not line.startswith("boardmark: warning: CPU "))
    if errors:
        problems.add("standard error is not empty: %r" % errors[:400])
    return run.stdout.decode("utf-8").splitlines()


def clock_cpus():
    """The CPU the clock measures of each policy, or each allowed CPU."""
    allowed = os.sched_getaffinity(0)
    found = []
    for path in sorted(glob.glob("/sys/devices/system/cpu/cpufreq/policy*/related_cpus"),
                       key=lambda p: int(p.split("policy")[1].split("/")[0])):
        with open(path, encoding="ascii") as f:
            cpus = [int(c) for c in f.read().split()]
        mine = [c for c in cpus if c in allowed]
        if mine:
            found.append(mine[0])
    return found or sorted(allowed)


def check_clock(rows, problems):
    clock = rows.get("clock", [])
    wanted = [(op, cpu) for op in ("idle", "after_load") for cpu in clock_cpus()]
    got = [(r["params"]["op"], int(r["params"]["cpu"])) for r in clock]
    if got != wanted:
        problems.add("clock: rows (op, cpu) %s, expected %s" % (got, wanted))
    for r in clock:
        mhz = float(r["params"]["measured_mhz"])
        if r["report"] != "nanoseconds" or r["label"] != "add" or not mhz > 0:
            problems.add("clock: unexpected row %s" % json.dumps(r)[:300])
        elif abs(mhz - 1000.0 / r["ns_per_operation"]) > 0.1:
            problems.add("clock: %s MHz is not 1000 over %s ns per add"
                         % (mhz, r["ns_per_operation"]))
    if set(rows) != {"clock"}:
        problems.add("rows of other measurements %s" % sorted(set(rows) - {"clock"}))


def check_rows(records, cpus, allowed, problems, clock=False):
    rows = {}
    for r in records:
        if r.get("report") == "context":
            continue
        params = r.get("params")
        keys = list(params or {})
        if clock and keys[:len(PARAM_KEYS)] == PARAM_KEYS:
            keys = keys[:len(PARAM_KEYS)]
        if params is None or keys != PARAM_KEYS:
            problems.add("%s: params are %r, not the keys %s" % (r["report"], params, PARAM_KEYS))
            continue
        if "run" not in r:
            problems.add("%s: no run (every row comes from driver_run)" % r["report"])
        elif r["run"]["parallel"] != int(params["workers"]):
            problems.add("%s: run.parallel %d, params.workers %s"
                         % (r["report"], r["run"]["parallel"], params["workers"]))
        if r.get("samples", {}).get("count", 0) < 5:
            problems.add("%s %s: %s samples, fewer than 5"
                         % (params["measurement"], r["report"], r.get("samples", {}).get("count")))
        rows.setdefault(params["measurement"], []).append(r)
    if clock:
        check_clock(rows, problems)
        return {name: len(found) for name, found in rows.items()}

    latency = rows.get("latency", [])
    sizes = [int(r["params"]["size"]) for r in latency]
    if len(sizes) < 2 or sizes[0] != 4096 or sizes != sorted(set(sizes)):
        problems.add("latency: sizes %s are no ladder from 4096 up" % sizes)
    for r in latency:
        if r["report"] != "size_latency" or r["size_bytes"] != int(r["params"]["size"]):
            problems.add("latency: unexpected row %s" % json.dumps(r)[:200])

    bandwidth = rows.get("bandwidth", [])
    workers = sorted({1, cpus})
    wanted = sorted((op, w) for op in ("read", "write", "copy") for w in workers)
    got = sorted((r["params"]["op"], int(r["params"]["workers"])) for r in bandwidth)
    if got != wanted or any(r["report"] != "mb_per_sec" for r in bandwidth):
        problems.add("bandwidth: rows (op, workers) %s, expected %s" % (got, wanted))

    pipe = rows.get("pipe", [])
    wanted = sorted((report, c) for report in ("context_switches", "microseconds")
                    for c in range(1, min(allowed, 2) + 1))
    got = sorted((r["report"], int(r["params"]["cpus"])) for r in pipe)
    if got != wanted:
        problems.add("pipe: rows (report, cpus) %s, expected %s" % (got, wanted))

    syscall = rows.get("syscall", [])
    if [(r["report"], r["label"]) for r in syscall] != [("nanoseconds", "getppid")]:
        problems.add("syscall: rows %s" % [json.dumps(r)[:200] for r in syscall])

    unknown = set(rows) - {"latency", "bandwidth", "pipe", "syscall"}
    if unknown:
        problems.add("rows of unknown measurements %s" % sorted(unknown))
    return {name: len(found) for name, found in rows.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--schema", required=True)
    parser.add_argument("--cpus", type=int)
    parser.add_argument("--input")
    parser.add_argument("--clock", action="store_true")
    parser.add_argument("command", nargs="*")
    args = parser.parse_args()
    if bool(args.input) == bool(args.command):
        parser.error("give either --input FILE or a command")
    cpus = args.cpus or os.cpu_count()
    allowed = args.cpus or len(os.sched_getaffinity(0))

    problems = Problems()
    lines = read_lines(args, problems)
    check = subprocess.run([sys.executable, LINE_CHECK, args.schema], check=False,
                           input="".join(line + "\n" for line in lines).encode())
    if check.returncode != 0:
        problems.add("the lines do not pass check_report_lines.py (above)")
    records = []
    for line in lines:
        try:
            record = json.loads(line)
        except ValueError:
            continue  # named by check_report_lines.py
        if isinstance(record, dict):
            records.append(record)
    counts = {}
    if [r.get("report") for r in records].count("context") != 1:
        problems.add("not exactly one context line")
    else:
        counts = check_rows(records, cpus, allowed, problems, args.clock)

    for p in problems.items:
        print("FAILED: " + p)
    print("%d lines, rows per measurement %s" % (len(lines), counts))
    return 1 if problems.items else 0


if __name__ == "__main__":
    sys.exit(main())
