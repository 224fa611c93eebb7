"""The host's checks of the LAVA system test (run_lava.sh): the results the
dispatcher logged for each job, and the JSON Lines that timing-lava-results
pulls back from the job log (as saved by the dispatcher, and as lavacli
shows it), against the bytes the board copied to its second UART."""

import argparse
import json
import math
import os
import re
import subprocess
import sys

import yaml

from make_job import DEVICE, OUTCOMES, RUNS

# Unit and scale of each report's main figure as the cases carry it, and the
# range a measurement on the emulated board must lie in.
FIGURES = {
    "size_latency": ("us_per_operation", 1000, "ns", (0.1, 1e5)),
    "mb_per_sec": ("mb_per_sec", 1, "MB/s", (1, 1e6)),
    "microseconds": ("us_per_operation", 1, "us", (0.1, 1e6)),
    "context_switches": ("us_per_switch", 1, "us", (0.05, 1e6)),
    "nanoseconds": ("ns_per_operation", 1, "ns", (1, 1e7)),
}
SAFE_NAME = re.compile(r"[A-Za-z0-9._-]{1,100}$")


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, what, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok      " + what)
        else:
            self.failed += 1
            print("FAILED  " + what + ("\n        " + detail if detail else ""))


def results_of(log_path):
    """The test cases of a job log: [(definition, msg)] in order."""
    cases = []
    with open(log_path, encoding="utf-8") as log:
        for line in log:
            record = yaml.load(line, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
            if isinstance(record, dict) and record.get("lvl") == "results":
                cases.append((record["msg"].get("definition"), record["msg"]))
    return cases


def processes(data):
    """The board's bytes split into the output of each boardmark process
    (each starts with its context line): [(measurement, [records])]."""
    result = []
    for line in data.decode("utf-8").splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue  # where a run that was ended stopped
        if record["report"] == "context":
            result.append([None, []])
        else:
            result[-1][0] = record["params"]["measurement"]
            result[-1][1].append(record)
    return result


def check_job(checks, work, job, tools):
    log = os.path.join(work, "job-%s.log" % job)
    board = open(os.path.join(work, "uart1-%s.jsonl" % job), "rb").read()
    cases = results_of(log)
    checks.check("job %s: LAVA's job result is pass" % job,
                 ("lava", {"case": "job", "definition": "lava", "result": "pass"}) in
                 [(d, {k: m.get(k) for k in ("case", "definition", "result")}) for d, m in cases])

    # The rows each boardmark process wrote, matched to the runs in order.
    expected = [(index, m) for index, (_, _, p) in enumerate(RUNS)
                for m in p["MEASUREMENTS"].split()]
    rows = {}
    for measurement, records in processes(board):
        key = next((k for k in expected if k[1] == measurement and k not in rows), None)
        if key is not None:
            rows[key] = records
    for index, (name, _, parameters) in enumerate(RUNS):
        definition = "%d_%s" % (index, name)
        mine = [m for d, m in cases if d == definition]
        names = [m["case"] for m in mine]
        checks.check("job %s, %s: every case name is safe and unique" % (job, name),
                     all(SAFE_NAME.match(n) for n in names) and len(set(names)) == len(names),
                     " ".join(names))
        for measurement in parameters["MEASUREMENTS"].split():
            records = rows.get((index, measurement), [])
            in_set = [m for m in mine if m.get("set") == measurement and m["result"] == "pass"]
            missing = []
            for record in records:
                key, scale, units, (low, high) = FIGURES[record["report"]]
                figure = record[key] * scale
                found = [m for m in in_set if m.get("units") == units and
                         math.isclose(float(m["measurement"]), figure, rel_tol=1e-9) and
                         ("size-" + record["params"]["size"]) in m["case"] and
                         low <= float(m["measurement"]) <= high]
                if len(found) != 1:
                    missing.append("%s %s" % (record["report"], record["params"]))
            run_case = [m for m in mine if m["case"] == measurement + "-run"]
            status = float(run_case[0]["measurement"]) if run_case else None
            outcome = OUTCOMES.get((name, measurement), "passed")
            what = "job %s, %s: %s" % (job, name, measurement)
            checks.check("%s: %s-warnings is a case with its count" % (what, measurement),
                         any(m["case"] == measurement + "-warnings" and
                             m.get("units") == "warnings" for m in mine))
            if outcome == "passed":
                checks.check("%s: %d rows, each a passed case in set %s with its unit and a "
                             "plausible measurement" % (what, len(records), measurement),
                             records and not missing and len(in_set) == len(records),
                             "; ".join(missing))
                checks.check("%s: %s-run passes with exit status 0" % (what, measurement),
                             status == 0, str(run_case))
                continue
            if outcome == "failed":
                failed = [m for m in mine if m.get("set") == measurement and
                          m["result"] == "fail"]
                checks.check("%s failed on the board: a failed case in its set, %s-run fails "
                             "with exit status 1" % (what, measurement),
                             failed and status == 1 and run_case[0]["result"] == "fail",
                             str(failed + run_case))
            else:
                checks.check("%s was ended after RUN_TIMEOUT: %s-run fails with the status of "
                             "timeout, the %d rows it wrote are passed cases" %
                             (what, measurement, len(records)),
                             status not in (None, 0, 1, 2) and run_case[0]["result"] == "fail"
                             and not missing, str(run_case) + "; ".join(missing))
            later = names[names.index(measurement + "-run") + 1:] if run_case else []
            checks.check("%s: the cases after it are still reported" % what,
                         any(n.endswith("-run") for n in later) and len(later) >= 3,
                         " ".join(later))

    # Pulled back from the log as the dispatcher saved it, and as lavacli
    # prints it (--raw: "- " before each line; plain: timestamp and message).
    plain = os.path.join(work, "job-%s.lavacli" % job)
    raw = os.path.join(work, "job-%s.lavacli-raw" % job)
    with open(log, encoding="utf-8") as source, open(plain, "w") as out_plain, \
            open(raw, "w") as out_raw:
        for line in source:
            out_raw.write("- " + line)
            record = yaml.safe_load(line)
            out_plain.write("%s %s\n" % (record["dt"].split(".")[0], record["msg"]))
    pulled_name = "%s_%s.jsonl" % (job, DEVICE)
    for form, path in (("the dispatcher's log", log), ("lavacli jobs logs --raw", raw),
                       ("lavacli jobs logs", plain)):
        out = os.path.join(work, "pulled-%s" % job, form.replace(" ", "_"))
        done = subprocess.run([sys.executable, os.path.join(tools, "timing-lava-results"),
                               "-o", out, path], capture_output=True, text=True)
        pulled = os.path.join(out, pulled_name)
        same = done.returncode == 0 and os.path.exists(pulled) and \
            open(pulled, "rb").read() == board
        checks.check("job %s: the JSON Lines pulled back from %s into %s are byte-identical "
                     "to what boardmark wrote (%d bytes)" % (job, form, pulled_name, len(board)),
                     same, done.stdout + done.stderr)
    return os.path.join(work, "pulled-%s" % job, "the_dispatcher's_log", pulled_name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--jobs", nargs="+", required=True)
    options = parser.parse_args()
    tools = os.path.join(options.source, "tools", "analysis")
    sys.path.insert(0, tools)
    from timing_analysis import records

    checks = Checks()
    # LAVA's own schemas: the installed definition, the example job as shipped.
    from lava_common.schemas import validate as validate_job
    from lava_common.schemas.test.testdef import validate as validate_definition
    for what, validate, path in (
            ("the test definition lava/boardmark.yaml", validate_definition,
             os.path.join(options.source, "lava", "boardmark.yaml")),
            ("the example job lava/examples/vexpress-a9-job.yaml", validate_job,
             os.path.join(options.source, "lava", "examples", "vexpress-a9-job.yaml"))):
        try:
            with open(path) as stream:
                validate(yaml.safe_load(stream))
            problem = None
        except Exception as error:  # voluptuous raises its own kinds
            problem = str(error)
        checks.check("%s passes LAVA's schema" % what, problem is None, problem or "")
    pulled = [check_job(checks, options.work, job, tools) for job in options.jobs]
    validator = records.load_validator(
        os.path.join(options.source, "lib", "timing", "report.schema.json"))
    for path in pulled:
        errors = []
        if os.path.exists(path):
            for number, line in enumerate(open(path, encoding="utf-8"), 1):
                errors += ["line %d: %s" % (number, e.message)
                           for e in validator.iter_errors(json.loads(line))]
        checks.check("%s validates against the report schema" % os.path.basename(path),
                     os.path.exists(path) and not errors, "; ".join(errors[:5]))
    compare = subprocess.run([sys.executable, os.path.join(tools, "timing-compare")] + pulled,
                             capture_output=True, text=True)
    checks.check("timing-compare reads the pulled-back files of two jobs (exit status 0 or 1)",
                 compare.returncode in (0, 1) and "size_latency" in compare.stdout,
                 compare.stdout[-500:] + compare.stderr)
    picture = os.path.join(options.work, "jobs.png")
    plot = subprocess.run([sys.executable, os.path.join(tools, "timing-plot"), "-o", picture]
                          + pulled, capture_output=True, text=True)
    checks.check("timing-plot draws the pulled-back files of two jobs in one picture",
                 plot.returncode == 0 and os.path.getsize(picture) > 0 if os.path.exists(picture)
                 else False, plot.stderr)
    print("== LAVA checks: %d ok, %d failed" % (checks.passed, checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
