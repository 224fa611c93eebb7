"""timing-compare BASE NEW: is NEW faster than BASE, beyond the noise?

Rows are matched across the two files by report, label, params and worker
count. For each matched row: the main figure on both sides, the change in
percent with a 95 % bootstrap interval of the ratio of the medians of the
samples' figures, the two-sided Mann-Whitney U p-value, and a verdict.
"""

import argparse
import json
import math
import os
import sys

import numpy as np
from scipy import stats

from . import cli

PROG = "timing-compare"
SEED = 20  # fixed, so that the same files give the same intervals
RESAMPLES = 9999
BATCH = 500  # resamples at a time: bounds memory for rows of many samples
CONFIDENCE = 0.95
TEST_MIN_SAMPLES = 5  # on each side, for a p-value at all
FEW_SAMPLES = 9  # below this on a side, the test has little power
VERDICT_COLOURS = {"slower": "31", "faster": "32", "unclear": "33"}


def _ratio_of_medians(base, new, axis=-1):
    return np.median(new, axis=axis) / np.median(base, axis=axis)


def compare_values(base, new, higher_is_better, alpha, threshold):
    """Change, interval, p-value and verdict of two sets of figures.

    change and interval are in percent of the base figure; p is None with
    fewer than TEST_MIN_SAMPLES on a side, the interval with fewer than two.
    """
    result = {"change": None, "interval": None, "p": None,
              "few": min(len(base), len(new)) < FEW_SAMPLES, "verdict": "unclear"}
    if not base or not new or np.median(base) <= 0:
        return result
    result["change"] = (float(_ratio_of_medians(base, new)) - 1) * 100
    if len(base) >= 2 and len(new) >= 2:
        with np.errstate(divide="ignore", invalid="ignore"):
            interval = stats.bootstrap(
                (np.asarray(base, float), np.asarray(new, float)), _ratio_of_medians,
                n_resamples=RESAMPLES, batch=BATCH, vectorized=True, paired=False,
                confidence_level=CONFIDENCE, method="percentile",
                random_state=np.random.default_rng(SEED)).confidence_interval
        if math.isfinite(interval.low) and math.isfinite(interval.high):
            result["interval"] = ((interval.low - 1) * 100, (interval.high - 1) * 100)
    if len(base) >= TEST_MIN_SAMPLES and len(new) >= TEST_MIN_SAMPLES:
        p = float(stats.mannwhitneyu(new, base, alternative="two-sided").pvalue)
        result["p"] = p if math.isfinite(p) else None
    change, interval, p = result["change"], result["interval"], result["p"]
    if p is not None and p < alpha and abs(change) > threshold:
        worse = change < 0 if higher_is_better else change > 0
        result["verdict"] = "slower" if worse else "faster"
    elif interval is not None and -threshold <= interval[0] and interval[1] <= threshold:
        result["verdict"] = "same"
    return result


# Context fields shown when they differ: (name, text of a context line).
def _governors(context):
    policies = context.get("cpufreq")
    if not isinstance(policies, list) or not policies:
        return None
    governors = [(p.get("governor"), p.get("cpus") or []) for p in policies]
    if len({g for g, _ in governors}) == 1:
        return governors[0][0]
    return ", ".join("%s (CPUs %s)" % (g, ",".join(map(str, cpus))) for g, cpus in governors)


def _calibration(key):
    return lambda c: (c.get("calibration") or {}).get(key)


def _build(context):
    build = context.get("build") or {}
    words = [w for w in (build.get("compiler"), build.get("build_type")) if w]
    return " ".join(map(str, words)) or None


CONTEXT_FIELDS = (
    ("host", lambda c: c.get("host")),
    ("CPU model", lambda c: c.get("cpu_model")),
    ("machine", lambda c: c.get("machine")),
    ("kernel", lambda c: c.get("kernel")),
    ("CPUs online", lambda c: c.get("cpus_online")),
    ("CPU governors", _governors),
    ("placement", lambda c: c.get("placement")),
    ("enough interval from", _calibration("enough_source")),
    ("timer overhead from", _calibration("timer_overhead_source")),
    ("iteration overhead from", _calibration("iteration_overhead_source")),
    ("library version", lambda c: c.get("library_version")),
    ("build", _build),
)


def context_differences(base, new):
    """The fields that differ between the two files' first context lines."""
    if not base.contexts or not new.contexts:
        return []
    differences = []
    for name, read in CONTEXT_FIELDS:
        a, b = read(base.contexts[0]), read(new.contexts[0])
        if a != b:
            differences.append({"field": name, "base": a, "new": b})
    return differences


def _identity(row):
    return {"row": row.name, "report": row.report, "label": row.label,
            "params": row.params, "parallel": row.parallel}


def _side(report_file):
    return {"file": report_file.shown_name, "machine": report_file.machine(),
            "context_lines": len(report_file.contexts), "skipped_lines": report_file.skipped,
            "unknown_reports": report_file.unknown, "warnings": report_file.warnings()}


def _shown_median(row):
    return row.figure.shown(float(np.median(row.values))) if row.values else None


def compare_files(base, new, alpha=0.05, threshold=2.0):
    """The whole comparison as one JSON-ready object."""
    new_rows = {row.key: row for row in new.rows}
    base_keys = {row.key for row in base.rows}
    rows, time_ratios = [], []
    for row in base.rows:
        other = new_rows.get(row.key)
        if other is None:
            continue
        figure = row.figure
        outcome = compare_values(row.values, other.values, figure.higher_is_better,
                                 alpha, threshold)
        entry = _identity(row)
        entry.update({
            "figure": figure.key, "unit": figure.unit,
            "better": "higher" if figure.higher_is_better else "lower",
            "base": _shown_median(row), "new": _shown_median(other),
            "base_samples": len(row.values), "new_samples": len(other.values),
            "base_records": row.records, "new_records": other.records,
            "change_percent": outcome["change"],
            "interval_percent": list(outcome["interval"]) if outcome["interval"] else None,
            "p_value": outcome["p"], "few_samples": outcome["few"],
            "verdict": outcome["verdict"]})
        rows.append(entry)
        if outcome["change"] is not None and outcome["change"] > -100:
            ratio = 1 + outcome["change"] / 100
            time_ratios.append(1 / ratio if figure.higher_is_better else ratio)
    geometric_mean = None
    if time_ratios:
        geometric_mean = {"time_ratio": math.exp(sum(map(math.log, time_ratios)) / len(time_ratios)),
                          "rows": len(time_ratios)}
    return {
        "base": _side(base), "new": _side(new),
        "context_differences": context_differences(base, new),
        "alpha": alpha, "threshold_percent": threshold, "confidence": CONFIDENCE,
        "rows": rows,
        "geometric_mean": geometric_mean,
        "only_in_base": [_identity(r) for r in base.rows if r.key not in new_rows],
        "only_in_new": [_identity(r) for r in new.rows if r.key not in base_keys],
    }


# Rendering: text and markdown share one table; json is the object itself.
def _number(value):
    if value is None:
        return "n/a"
    magnitude = abs(value)
    if magnitude >= 1000 or value == 0:
        return "%.0f" % value
    if magnitude >= 100:
        return "%.1f" % value
    if magnitude >= 10:
        return "%.2f" % value
    if magnitude >= 1:
        return "%.3f" % value
    return "%.4g" % value


def _percent(value):
    return "n/a" if value is None else "%+.1f%%" % value


def _p_value(row):
    p = row["p_value"]
    if p is None:
        return "n/a"
    text = "<0.0001" if p < 0.0001 else "%.4f" % p
    return text + ("*" if row["few_samples"] else "")


def _context_value(value):
    return "null" if value is None else str(value)


def _table(result):
    header = ["row", "unit", "better", "base", "new", "change", "95% CI", "p", "n", "verdict"]
    lines = []
    for row in result["rows"]:
        interval = row["interval_percent"]
        lines.append([
            row["row"], row["unit"], row["better"], _number(row["base"]), _number(row["new"]),
            _percent(row["change_percent"]),
            "[%s, %s]" % (_percent(interval[0]), _percent(interval[1])) if interval else "n/a",
            _p_value(row), "%d/%d" % (row["base_samples"], row["new_samples"]), row["verdict"]])
    return header, lines


def _geometric_mean_text(result):
    mean = result["geometric_mean"]
    if mean is None:
        return "geometric mean: n/a (no matched row has a change)"
    ratio = mean["time_ratio"]
    how = "faster" if ratio < 1 else "slower" if ratio > 1 else "the same"
    amount = "" if ratio == 1 else "%.1f %% " % (abs(ratio - 1) * 100)
    return ("geometric mean of the new/base time ratios over %d rows (rates inverted): "
            "%.4f (new %s%s)" % (mean["rows"], ratio, amount, how))


def _side_text(result, side):
    info = result[side]
    text = "%s: %s" % (side, info["file"])
    if info["machine"]:
        text += " (%s)" % info["machine"]
    if not info["context_lines"]:
        text += " (no context line)"
    if info["skipped_lines"]:
        skipped = info["skipped_lines"]
        text += "; skipped %d %s" % (skipped, "line that is not a JSON object" if skipped == 1
                                     else "lines that are not JSON objects")
    if info["unknown_reports"]:
        text += "; reports without a main figure left out: %s" % ", ".join(
            "%s (%d)" % item for item in info["unknown_reports"].items())
    return text


FEW_NOTE = ("* fewer than %d samples on a side: the Mann-Whitney test has little power there"
            % FEW_SAMPLES)


def _few_marked(result):
    """Whether a p-value in the table carries the FEW_NOTE mark."""
    return any(r["few_samples"] and r["p_value"] is not None for r in result["rows"])


def _context_table(result):
    return [["context differs", "base", "new"]] + [
        [d["field"], _context_value(d["base"]), _context_value(d["new"])]
        for d in result["context_differences"]]


def render_text(result, colour):
    out = [_side_text(result, "base"), _side_text(result, "new"), ""]
    if result["context_differences"]:
        out += _aligned(_context_table(result)) + [""]
    for side in ("base", "new"):
        warnings = result[side]["warnings"]
        out.append("warnings in %s:%s" % (side, "" if warnings else " none"))
        out += ["  " + w for w in warnings]
    out.append("")
    header, lines = _table(result)
    if lines:
        table = _aligned([header] + lines, right=range(3, 9))
        if colour:
            # The verdict ends each line.
            for i, line in enumerate(lines, 1):
                code = VERDICT_COLOURS.get(line[-1])
                if code:
                    table[i] = "%s\033[%sm%s\033[0m" % (table[i][:-len(line[-1])], code, line[-1])
        out += table
    else:
        out.append("no row in both files")
    out.append("")
    out.append(_geometric_mean_text(result))
    for side in ("base", "new"):
        only = result["only_in_" + side]
        if only:
            out.append("only in %s:" % side)
            out += ["  " + r["row"] for r in only]
    if _few_marked(result):
        out.append(FEW_NOTE)
    return "\n".join(out) + "\n"


def _aligned(rows, right=()):
    """Columns padded to their widest cell, those in right to the right."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
                      for i, cell in enumerate(r)).rstrip() for r in rows]


def _markdown_cell(text):
    return str(text).replace("|", "\\|")


def _markdown_table(rows):
    lines = ["| " + " | ".join(map(_markdown_cell, rows[0])) + " |",
             "|" + "---|" * len(rows[0])]
    lines += ["| " + " | ".join(map(_markdown_cell, r)) + " |" for r in rows[1:]]
    return lines


def render_markdown(result):
    out = ["- " + _side_text(result, "base"), "- " + _side_text(result, "new"), ""]
    if result["context_differences"]:
        out += _markdown_table(_context_table(result)) + [""]
    for side in ("base", "new"):
        warnings = result[side]["warnings"]
        out.append("Warnings in %s:%s" % (side, "" if warnings else " none."))
        if warnings:
            out += [""] + ["- " + _markdown_cell(w) for w in warnings]
        out.append("")
    header, lines = _table(result)
    out += _markdown_table([header] + lines) if lines else ["No row in both files."]
    out += ["", _geometric_mean_text(result) + "."]
    for side in ("base", "new"):
        only = result["only_in_" + side]
        if only:
            out += ["", "Only in %s:" % side, ""] + ["- `%s`" % r["row"] for r in only]
    if _few_marked(result):
        out += ["", "\\" + FEW_NOTE + "."]
    return "\n".join(out) + "\n"


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compare two JSON Lines report files of lib_timing programs "
        "row by row: change, 95 % interval, Mann-Whitney p-value and verdict.")
    parser.add_argument("base", metavar="BASE", help="the reference file (- for standard input)")
    parser.add_argument("new", metavar="NEW", help="the file to judge (- for standard input)")
    parser.add_argument("--format", choices=("text", "markdown", "json"), default="text",
                        help="output format (default: text)")
    percent = cli.number_option(lambda v: v >= 0, "a percentage of 0 or more (e.g. 5, 2.5)")
    parser.add_argument("--alpha", metavar="P", default=0.05,
                        type=cli.number_option(lambda v: 0 < v < 1,
                                               "a level between 0 and 1 (e.g. 0.05, 0.01)"),
                        help="significance level of the test (default: 0.05)")
    parser.add_argument("--threshold", metavar="PCT", type=percent, default=2.0,
                        help="smallest change in percent that counts (default: 2)")
    parser.add_argument("--fail-above", metavar="PCT", type=percent,
                        help="exit with status 1 when a row is slower by more than PCT percent")
    cli.add_schema_option(parser)
    return parser


def _main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    base, new = cli.read_inputs(parser, [args.base, args.new], args.schema)
    result = compare_files(base, new, args.alpha, args.threshold)
    if args.format == "json":
        sys.stdout.write(json.dumps(result, indent=1) + "\n")
    elif args.format == "markdown":
        sys.stdout.write(render_markdown(result))
    else:
        colour = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
        sys.stdout.write(render_text(result, colour))
    sys.stdout.flush()
    if args.fail_above is not None and any(
            r["verdict"] == "slower" and abs(r["change_percent"]) > args.fail_above
            for r in result["rows"]):
        return 1
    return 0


def main(argv=None):
    return cli.run(PROG, _main, sys.argv[1:] if argv is None else argv)
