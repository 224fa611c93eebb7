#!/usr/bin/python3
"""Checks lib_timing JSON Lines against the report schema.

Usage: check_report_lines.py SCHEMA [--expect NAME,...] [-- COMMAND [ARG...]]

Reads the lines COMMAND writes on standard output (it must exit with status
0), or standard input without one. Every line must be one JSON object that
validates against SCHEMA, the first must be the context line, and each
report NAME given must appear. With --expect, some report must also carry
params, samples.raw and run. Prints what is wrong and exits with 1.
"""
import json
import subprocess
import sys

try:
    import jsonschema
except ImportError:
    sys.exit("check_report_lines.py: python3-jsonschema is missing "
             "(apt-get install python3-jsonschema)")


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
    with open(argv[0], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    if command:
        run = subprocess.run(command, stdout=subprocess.PIPE, check=False)
        if run.returncode != 0:
            sys.exit(f"{' '.join(command)} exited with status {run.returncode}")
        text = run.stdout.decode("utf-8")
    else:
        text = sys.stdin.read()

    lines = text.splitlines()
    problems = []
    if not lines or not text.endswith("\n"):
        problems.append("no lines, or the last one unfinished")
    seen = set()
    carried = set()
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except json.JSONDecodeError as error:
            problems.append(f"line {number}: not JSON ({error}): {line}")
            continue
        for error in validator.iter_errors(record):
            path = "/".join(str(p) for p in error.absolute_path)
            problems.append(f"line {number}: {path}: {error.message}")
        if not isinstance(record, dict):
            continue
        seen.add(record.get("report"))
        carried.update(k for k in ("params", "run") if k in record)
        if "raw" in record.get("samples", {}):
            carried.add("samples.raw")
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
