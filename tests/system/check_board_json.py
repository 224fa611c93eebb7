#!/usr/bin/python3
"""Checks boardmark's JSON Lines from the emulated board on the host and says
what the board measured.

  check_board_json.py clock --schema FILE --cpus LIST --input FILE
  check_board_json.py counters --schema FILE --input FILE

Every line must validate against the report schema (tests/reports/
check_report_lines.py). clock: `boardmark clock --json` has an idle and an
after_load row for each CPU of LIST (as in /sys/devices/system/cpu/online:
"0-3" or "0,2"), each a positive clock that agrees with its report; prints the
clocks. counters: a run with TIMING_COUNTERS=hardware carries the hardware
counters of every worker, each either counted (cycles and instructions
positive per iteration) or null with the reason it was refused; prints
which, and the reasons.
"""
import argparse
import json
import os
import subprocess
import sys

LINE_CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reports",
                          "check_report_lines.py")
HARDWARE = ["cycles", "instructions", "branch_misses", "l1d_misses"]
# Counts that cannot be 0 for a body that runs at all.
NONZERO = ["cycles", "instructions"]


def cpu_list(text):
    cpus = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        cpus.extend(range(int(first), int(last or first) + 1))
    return cpus


def check_clock(rows, cpus, problems):
    wanted = [(op, cpu) for op in ("idle", "after_load") for cpu in cpus]
    got = [(r["params"].get("op"), int(r["params"].get("cpu", -1))) for r in rows]
    if got != wanted:
        problems.append("clock: rows (op, cpu) %s, expected %s" % (got, wanted))
    for r in rows:
        mhz = float(r["params"].get("measured_mhz", "nan"))
        if r["report"] != "nanoseconds" or r["label"] != "add" or not mhz > 0:
            problems.append("clock: unexpected row %s" % json.dumps(r)[:300])
            continue
        if abs(mhz - 1000.0 / r["ns_per_operation"]) > 0.1:
            problems.append("clock: %s MHz is not 1000 over %s ns per add"
                            % (mhz, r["ns_per_operation"]))
        print("        CPU %s %s: measured %s MHz (%d samples)"
              % (r["params"]["cpu"], r["params"]["op"], r["params"]["measured_mhz"],
                 r["samples"]["count"]))


def check_counters(rows, problems):
    found = set()
    for r in rows:
        counters = (r.get("conditions") or {}).get("counters")
        name = "%s %s" % (r["report"], r.get("label", ""))
        if not counters or not counters["workers"]:
            problems.append("%s: no hardware counters in its conditions" % name)
            continue
        for w in counters["workers"]:
            for counter in HARDWARE:
                value, per = w[counter], w[counter + "_per_iteration"]
                why = w["refused"].get(counter)
                if value is None:
                    if not why:
                        problems.append("%s worker %d: %s null without a reason"
                                        % (name, w["worker"], counter))
                    found.add("%s refused: %s" % (counter, why))
                elif per is None or per < 0 or (counter in NONZERO and not per > 0):
                    problems.append("%s worker %d: %s counted %s, %s per iteration"
                                    % (name, w["worker"], counter, value, per))
                else:
                    found.add("%s counted" % counter)
                    print("        %s worker %d: %s %.4g per iteration (running share %s)"
                          % (name, w["worker"], counter, per, w["running_share"].get(counter)))
    for text in sorted(found):
        print("        PMU on the board: " + text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["clock", "counters"])
    parser.add_argument("--schema", required=True)
    parser.add_argument("--input", required=True)
    parser.add_argument("--cpus", type=cpu_list)
    args = parser.parse_args()
    problems = []
    with open(args.input, encoding="utf-8") as f:
        text = f.read()
    check = subprocess.run([sys.executable, LINE_CHECK, args.schema], input=text.encode(),
                           check=False)
    if check.returncode != 0:
        problems.append("the lines do not pass check_report_lines.py (above)")
    rows = []
    for line in text.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue  # named by check_report_lines.py
        if isinstance(record, dict) and record.get("report") != "context":
            rows.append(record)
    if not rows:
        problems.append("no rows")
    elif args.kind == "clock":
        check_clock(rows, args.cpus or [], problems)
    else:
        check_counters(rows, problems)
    for p in problems:
        print("        FAILED: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
