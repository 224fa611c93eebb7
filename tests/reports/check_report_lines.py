#!/usr/bin/python3
"""Checks lib_timing JSON Lines against the report schema.

Usage: check_report_lines.py SCHEMA [--expect NAME,...] [-- COMMAND [ARG...]]

Reads the lines COMMAND writes on standard output (it must exit with status
0), or standard input without one. Every line must be one JSON object that
validates against SCHEMA, the first must be the context line, and each
report NAME given must appear. With --expect, some report must also carry
params, samples.raw and run. Prints what is wrong and exits with 1.

The lines are read and the schema loaded as timing-compare does
(tools/analysis/timing_analysis/records.py).
"""
import io
import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "analysis"))
from timing_analysis import records  # noqa: E402


def main(argv):
    command = []
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    expected = []
    if len(argv) == 3 and argv[1] == "--expect":
        expected = argv[2].split(",")
    elif len(argv) != 1:
        sys.exit(__doc__)
    try:
        validator = records.load_validator(argv[0])
    except ImportError as error:
        sys.exit("check_report_lines.py: %s (apt-get install python3-jsonschema)" % error)
    except records.InputError as error:
        sys.exit("check_report_lines.py: %s" % error)

    if command:
        run = subprocess.run(command, stdout=subprocess.PIPE, check=False)
        if run.returncode != 0:
            sys.exit(f"{' '.join(command)} exited with status {run.returncode}")
        data = run.stdout
    else:
        data = sys.stdin.buffer.read()

    lines = data.decode("utf-8").splitlines()
    problems = []
    if not lines or not data.endswith(b"\n"):
        problems.append("no lines, or the last one unfinished")
    seen = set()
    carried = set()
    try:
        for number, record in records.json_lines(io.BytesIO(data), "line"):
            if record is None:
                problems.append(f"line {number}: not a JSON object: {lines[number - 1]}")
                continue
            for error in validator.iter_errors(record):
                path = "/".join(str(p) for p in error.absolute_path)
                problems.append(f"line {number}: {path}: {error.message}")
            seen.add(record.get("report"))
            carried.update(k for k in ("params", "run") if k in record)
            if "raw" in record.get("samples", {}):
                carried.add("samples.raw")
    except records.InputError as error:
        problems.append(str(error))
    if lines and not lines[0].startswith('{"report":"context",'):
        problems.append("the first line is not the context line")
    problems += [f"no {name} report" for name in expected if name not in seen]
    if expected:
        problems += [f"no report carries {key}" for key in ("params", "samples.raw", "run")
                     if key not in carried]
    for problem in problems:
        print(problem)
    print(f"{len(lines)} lines, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
