#!/usr/bin/python3
"""Reads spread_runs' JSON Lines and sets the driver's within-run spread of
each body beside Google Benchmark's and beside the evidence of the runs'
conditions: the involuntary context switches per second of each harness
(the driver's worker over its timed intervals, from its run conditions;
Google Benchmark's process over its whole run, from getrusage), the driver's
spread with and without a switch in its timed intervals, and with and
without warm-up. Markdown on standard output.

  spread_evidence.py FILE
"""
import json
import statistics
import sys


def median_relative_deviation(values):
    middle = statistics.median(values)
    return statistics.median(abs(v - middle) / middle for v in values)


def percent(values):
    return ("%.2f%%" % (100.0 * statistics.median(values))) if values else "-"


def read(path):
    driver, google = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            record = json.loads(line)
            if record.get("report") == "google":
                google.append({"body": record["body"],
                               "spread": median_relative_deviation(record["us"]),
                               "rate": record["involuntary_switches"] / record["seconds"]})
            elif record.get("report") == "nanoseconds":
                run = record["conditions"]["runs"][-1]
                worker = run["workers"][0]
                switches = worker["involuntary_switches"]
                if switches is None:
                    switches = worker["context_switches"]
                timed_s = sum(us for us, _ in record["samples"]["raw"]) / 1e6
                driver.append({"body": record["params"]["body"],
                               "warmup": int(record["params"]["warmup_us"]),
                               "spread": record["samples"]["spread"],
                               "switches": switches,
                               "rate": switches / timed_s,
                               "migrations": worker["cpu_migrations"] or 0,
                               "other": run["other_load"]["cpu_share"] or 0.0})
    return driver, google


def main():
    driver, google = read(sys.argv[1])
    print("| body | driver spread | GB spread | ratio | driver switches/s (timed) "
          "| GB switches/s | driver spread, no switch | driver spread, 1+ switches "
          "| driver runs with a switch | driver spread, 20 ms warm-up |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for body in dict.fromkeys(r["body"] for r in google):
        d = [r for r in driver if r["body"] == body and r["warmup"] == 0]
        w = [r for r in driver if r["body"] == body and r["warmup"] > 0]
        g = [r for r in google if r["body"] == body]
        ds = statistics.median(r["spread"] for r in d)
        gs = statistics.median(r["spread"] for r in g)
        print("| %s | %.2f%% | %.2f%% | %.2f | %.0f | %.0f | %s | %s | %d of %d | %s |" % (
            body, 100 * ds, 100 * gs, ds / gs if gs else float("nan"),
            statistics.median(r["rate"] for r in d), statistics.median(r["rate"] for r in g),
            percent([r["spread"] for r in d if r["switches"] == 0]),
            percent([r["spread"] for r in d if r["switches"] > 0]),
            sum(1 for r in d if r["switches"] > 0), len(d),
            percent([r["spread"] for r in w])))
    print()
    print("%d driver runs: %d CPU migrations in all; other load %.1f%% of a CPU at the median "
          "(%.1f%% to %.1f%%)." % (
              len(driver), sum(r["migrations"] for r in driver),
              100 * statistics.median(r["other"] for r in driver),
              100 * min(r["other"] for r in driver), 100 * max(r["other"] for r in driver)))


if __name__ == "__main__":
    main()
