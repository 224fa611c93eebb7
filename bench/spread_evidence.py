#!/usr/bin/python3
"""Reads spread_runs' JSON Lines and sets the driver's within-run spread of
each body against the evidence of its run conditions: with and without
warm-up, with and without context switches of the worker in its timed
intervals, and with other load under and over 5 % of a CPU. Markdown on
standard output.

  spread_evidence.py FILE
"""
import json
import statistics
import sys


def median_or_dash(values, scale=100.0, digits=2):
    return ("%.*f%%" % (digits, scale * statistics.median(values))) if values else "-"


def main():
    runs = []
    with open(sys.argv[1], encoding="utf-8") as f:
        for line in f:
            record = json.loads(line)
            if record.get("report") != "nanoseconds":
                continue
            run = record["conditions"]["runs"][-1]
            worker = run["workers"][0]
            runs.append({
                "body": record["params"]["body"],
                "warmup": int(record["params"]["warmup_us"]),
                "spread": record["samples"]["spread"],
                "switches": worker["involuntary_switches"] if worker["involuntary_switches"]
                is not None else worker["context_switches"],
                "migrations": worker["cpu_migrations"] or 0,
                "other": run["other_load"]["cpu_share"] or 0.0,
            })
    bodies = list(dict.fromkeys(r["body"] for r in runs))
    print("| body | warm-up | runs | spread | spread, no switch | spread, 1+ switches "
          "| runs with switches | spread, other load < 5% | spread, other load >= 5% |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for body in bodies:
        for warmup in sorted({r["warmup"] for r in runs}):
            these = [r for r in runs if r["body"] == body and r["warmup"] == warmup]
            quiet = [r["spread"] for r in these if r["switches"] == 0]
            switched = [r["spread"] for r in these if r["switches"] > 0]
            low = [r["spread"] for r in these if r["other"] < 0.05]
            high = [r["spread"] for r in these if r["other"] >= 0.05]
            print("| %s | %d us | %d | %s | %s | %s | %d | %s | %s |" % (
                body, warmup, len(these), median_or_dash([r["spread"] for r in these]),
                median_or_dash(quiet), median_or_dash(switched), len(switched),
                median_or_dash(low), median_or_dash(high)))
    migrations = sum(r["migrations"] for r in runs)
    print()
    print("%d runs; %d CPU migrations in all; median other load %.1f%% of a CPU."
          % (len(runs), migrations, 100 * statistics.median(r["other"] for r in runs)))


if __name__ == "__main__":
    main()
