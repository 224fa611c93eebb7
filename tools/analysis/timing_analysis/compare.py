"""timing-compare BASE NEW...: is NEW faster than BASE, beyond the noise?

Rows are matched across the two files by report, label, params (less the
ignored ones) and worker count. For each matched row: the main figure on
both sides, the change in percent with a 95 % bootstrap interval of the
ratio of the medians of the samples' figures, the two-sided Mann-Whitney U
p-value, and a verdict, which a run disturbed on either side withholds.
"""

import argparse
import dataclasses
import json
import math
import os
import re
import sys

import numpy as np
from scipy import stats

from . import cli, records

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


def _matching(rows, ignored):
    """The rows by the key that matches them across files: without the
    ignored params, rows of one file that differ only in those pooled into
    one (a copy, the file's own rows stay as they are)."""
    matched = {}
    for row in rows:
        key = (row.report, row.label, tuple(sorted(
            (k, v) for k, v in row.params.items() if k not in ignored)), row.parallel)
        if key not in matched:
            matched[key] = dataclasses.replace(row, values=list(row.values),
                                               warnings=list(row.warnings))
            continue
        pooled = matched[key]
        pooled.values += row.values
        pooled.records += row.records
        pooled.warnings += [w for w in row.warnings if w not in pooled.warnings]
        pooled.disturbed = pooled.disturbed or row.disturbed
    return matched


def _picked(row, patterns):
    """Whether the row's name, as written in the file or as shown, matches one
    of the patterns (all rows without patterns)."""
    names = (row.name, row.shown_name)
    return not patterns or any(p.search(n) for p in patterns for n in names)


def _near_misses(only_base, only_new):
    """The params in which rows found in only one file differ from rows of
    the other that match them in everything else."""
    keys = []
    for a in only_base:
        for b in only_new:
            if (a.report, a.label, a.parallel, sorted(a.params)) != (
                    b.report, b.label, b.parallel, sorted(b.params)):
                continue
            keys += [k for k in a.params if a.params[k] != b.params[k] and k not in keys]
    return keys


def compare_files(base, new, alpha=0.05, threshold=2.0, ignored=(), patterns=(),
                  include_disturbed=False):
    """The whole comparison as one JSON-ready object.

    Rows are matched without the ignored params; only rows whose name
    matches one of the patterns (compiled regular expressions) are taken. A
    row disturbed on a side gets no faster or slower verdict, and stays out
    of the geometric mean, unless include_disturbed.
    """
    base_rows = {k: r for k, r in _matching(base.rows, ignored).items() if _picked(r, patterns)}
    new_rows = {k: r for k, r in _matching(new.rows, ignored).items() if _picked(r, patterns)}
    rows, time_ratios, left_out = [], [], 0
    for key, row in base_rows.items():
        other = new_rows.get(key)
        if other is None:
            continue
        figure = row.figure
        outcome = compare_values(row.values, other.values, figure.higher_is_better,
                                 alpha, threshold)
        disturbed = row.disturbed or other.disturbed
        verdict = outcome["verdict"]
        if disturbed and not include_disturbed and verdict in ("faster", "slower"):
            verdict = "disturbed"
        entry = _identity(row)
        if other.params != row.params:
            entry["new_params"] = other.params
        entry.update({
            "figure": figure.key, "unit": figure.unit,
            "better": "higher" if figure.higher_is_better else "lower",
            "base": _shown_median(row), "new": _shown_median(other),
            "base_samples": len(row.values), "new_samples": len(other.values),
            "base_records": row.records, "new_records": other.records,
            "change_percent": outcome["change"],
            "interval_percent": list(outcome["interval"]) if outcome["interval"] else None,
            "p_value": outcome["p"], "few_samples": outcome["few"],
            "verdict": verdict,
            "warnings": {"base": row.warnings, "new": other.warnings},
            "disturbed": {"base": row.disturbed, "new": other.disturbed}})
        rows.append(entry)
        if outcome["change"] is not None and outcome["change"] > -100:
            if disturbed and not include_disturbed:
                left_out += 1
                continue
            ratio = 1 + outcome["change"] / 100
            time_ratios.append(1 / ratio if figure.higher_is_better else ratio)
    geometric_mean = None
    if time_ratios:
        geometric_mean = {"time_ratio": float(stats.gmean(time_ratios)),
                          "rows": len(time_ratios)}
    if left_out:
        geometric_mean = dict(geometric_mean or {}, disturbed_left_out=left_out)
    only_base = [r for k, r in base_rows.items() if k not in new_rows]
    only_new = [r for k, r in new_rows.items() if k not in base_rows]
    result = {
        "base": _side(base), "new": _side(new),
        "context_differences": context_differences(base, new),
        "alpha": alpha, "threshold_percent": threshold, "confidence": CONFIDENCE,
        "rows": rows,
        "geometric_mean": geometric_mean,
        "only_in_base": [_identity(r) for r in only_base],
        "only_in_new": [_identity(r) for r in only_new],
    }
    if ignored:
        result["ignored_params"] = list(ignored)
    differing = _near_misses(only_base, only_new)
    if differing:
        result["only_differ_in"] = differing
    return result


# Rendering: text and markdown are two syntaxes of one layout (below); json
# is the object itself.
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


def _param(row, key):
    """A param of a row as shown: sizes in KiB, MiB...; an ignored param
    whose value differs between the files as both values."""
    text = records.param_text(key, row["params"][key])
    other = (row.get("new_params") or row["params"]).get(key)
    if other is not None and other != row["params"][key]:
        text += " vs " + records.param_text(key, other).split("=", 1)[1]
    return text


def _groups(rows):
    """The rows by report, in order of first appearance: (heading, rows,
    the params each row shows). The heading names the figure's unit and
    direction and the params every row of the report shares, the rows the
    params in which they differ."""
    by_report = {}
    for row in rows:
        by_report.setdefault(row["report"], []).append(row)
    groups = []
    for members in by_report.values():
        keys = []
        for row in members:
            keys += [k for k in row["params"] if k not in keys]
        first = members[0]
        shared = [k for k in keys if all(k in r["params"] for r in members)
                  and len({_param(r, k) for r in members}) == 1]
        heading = "%s, %s is better" % (first["unit"], first["better"])
        if shared:
            heading += "; " + " ".join(_param(first, k) for k in shared)
        groups.append((heading, members, [k for k in keys if k not in shared]))
    return groups


def _row_name(row, keys):
    """The row's name with the params of keys only."""
    return records.row_name(row["report"], row["label"],
                            [_param(row, k) for k in keys if k in row["params"]], row["parallel"])


def _is_disturbed(row):
    return row["disturbed"]["base"] or row["disturbed"]["new"]


HEADER = ["row", "base", "new", "change", "95% CI", "p", "n", "verdict"]
RIGHT = range(1, 7)  # the figures' columns, right-aligned


def _table(result):
    """The rows' table: a list of cell lists for the rows and of one text
    for the lines between them (a group's heading, a row's warnings)."""
    lines = []
    for heading, members, keys in _groups(result["rows"]):
        lines.append(heading)
        for row in members:
            interval = row["interval_percent"]
            marker = "! " if _is_disturbed(row) else "  "
            lines.append([
                marker + _row_name(row, keys), _number(row["base"]), _number(row["new"]),
                _percent(row["change_percent"]),
                "[%s, %s]" % (_percent(interval[0]), _percent(interval[1])) if interval else "n/a",
                _p_value(row), "%d/%d" % (row["base_samples"], row["new_samples"]),
                row["verdict"]])
            for side in ("base", "new"):
                lines += ["    %s: %s" % (side, w) for w in row["warnings"][side]]
    return lines


def _geometric_mean_text(result):
    mean = result["geometric_mean"] or {}
    if "time_ratio" not in mean:
        text = "geometric mean: n/a (no matched row has a change)"
    else:
        ratio = mean["time_ratio"]
        how = "faster" if ratio < 1 else "slower" if ratio > 1 else "the same"
        amount = "" if ratio == 1 else "%.1f %% " % (abs(ratio - 1) * 100)
        text = ("geometric mean of the new/base time ratios over %d rows (rates inverted): "
                "%.4f (new %s%s)" % (mean["rows"], ratio, amount, how))
    left_out = mean.get("disturbed_left_out")
    if left_out:
        text += "; %d disturbed %s left out" % (left_out, "row" if left_out == 1 else "rows")
    return text


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
DISTURBED_NOTE = ("! disturbed on a side (the run's conditions say so): no faster or slower "
                  "verdict, left out of the geometric mean; --include-disturbed judges it")


def _few_marked(result):
    """Whether a p-value in the table carries the FEW_NOTE mark."""
    return any(r["few_samples"] and r["p_value"] is not None for r in result["rows"])


def _context_table(result):
    return [["context differs", "base", "new"]] + [
        [d["field"], _context_value(d["base"]), _context_value(d["new"])]
        for d in result["context_differences"]]


def layout(result):
    """What a comparison shows, in order: paragraphs of blocks. A block is
    ("lines", [text]), ("list", heading, [item], code), ("table", rows,
    right-aligned columns) or ("note", text)."""
    paragraphs = [[("lines", [_side_text(result, "base"), _side_text(result, "new")])]]
    if result["context_differences"]:
        paragraphs.append([("table", _context_table(result), ())])
    paragraphs.append([("list", "warnings in %s:" % side, result[side]["warnings"], False)
                       for side in ("base", "new")])
    lines = _table(result)
    paragraphs.append([("table", [HEADER] + lines, RIGHT)] if lines else
                      [("note", "no row in both files")])
    last = [("note", _geometric_mean_text(result))]
    for side in ("base", "new"):
        only = result["only_in_" + side]
        if only:
            last.append(("list", "only in %s:" % side, [_row_name(r, r["params"]) for r in only],
                         True))
    if result.get("only_differ_in"):
        keys = result["only_differ_in"]
        last.append(("note", "rows found in only one file differ from the other file's only in "
                     "%s: --ignore-param %s matches them" % (", ".join(keys), ",".join(keys))))
    if _few_marked(result):
        last.append(("note", FEW_NOTE))
    if any(_is_disturbed(r) for r in result["rows"]):
        last.append(("note", DISTURBED_NOTE))
    paragraphs.append(last)
    return paragraphs


def _aligned(rows, right=()):
    """Columns padded to their widest cell, those in right to the right; a
    row that is one text stands as it is."""
    cells = [r for r in rows if not isinstance(r, str)]
    widths = [max(len(r[i]) for r in cells) for i in range(len(cells[0]))]
    return [r if isinstance(r, str) else
            "  ".join(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
                      for i, cell in enumerate(r)).rstrip() for r in rows]


class TextSyntax:
    def __init__(self, colour):
        self.colour = colour

    def render(self, paragraphs):
        out = []
        for paragraph in paragraphs:
            for block in paragraph:
                out += getattr(self, block[0])(*block[1:])
            out.append("")
        return "\n".join(out[:-1]) + "\n"

    @staticmethod
    def lines(texts):
        return list(texts)

    @staticmethod
    def note(text):
        return [text]

    @staticmethod
    def list(heading, items, _code):
        return [heading + ("" if items else " none")] + ["  " + item for item in items]

    def table(self, rows, right):
        table = _aligned(rows, right)
        if self.colour:
            # The verdict ends each row of cells.
            for i, row in enumerate(rows):
                code = None if isinstance(row, str) else VERDICT_COLOURS.get(row[-1])
                if code:
                    table[i] = "%s\033[%sm%s\033[0m" % (table[i][:-len(row[-1])], code, row[-1])
        return table


def _markdown_cell(text):
    return str(text).replace("|", "\\|")


class MarkdownSyntax:
    @staticmethod
    def render(paragraphs):
        out = []
        for paragraph in paragraphs:
            for block in paragraph:
                out += getattr(MarkdownSyntax, block[0])(*block[1:]) + [""]
        return "\n".join(out[:-1]) + "\n"

    @staticmethod
    def lines(texts):
        return ["- " + _markdown_cell(t) for t in texts]

    @staticmethod
    def note(text):
        # A leading * would start a list.
        return [("\\" if text.startswith(("*", "!")) else "") + text + "."]

    @staticmethod
    def list(heading, items, code):
        heading = heading[0].upper() + heading[1:]
        if not items:
            return [heading + " none."]
        shown = ["`%s`" % item if code else _markdown_cell(item) for item in items]
        return [heading, ""] + ["- " + item for item in shown]

    @staticmethod
    def table(rows, _right):
        # Cells are not aligned here: a group's heading in bold, the lines
        # under a row and its own first cell without their indent.
        width = max(len(r) for r in rows if not isinstance(r, str))
        rows = [([r.strip()] if r.startswith(" ") else ["**%s**" % r]) + [""] * (width - 1)
                if isinstance(r, str) else [r[0].strip()] + r[1:] for r in rows]
        lines = ["| " + " | ".join(map(_markdown_cell, rows[0])) + " |", "|" + "---|" * width]
        return lines + ["| " + " | ".join(map(_markdown_cell, r)) + " |" for r in rows[1:]]


def render_text(result, colour):
    return TextSyntax(colour).render(layout(result))


def render_markdown(result):
    return MarkdownSyntax.render(layout(result))


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compare two JSON Lines report files of lib_timing programs "
        "row by row: change, 95 % interval, Mann-Whitney p-value and verdict.")
    parser.add_argument("base", metavar="BASE", help="the reference file (- for standard input)")
    parser.add_argument("new", metavar="NEW", nargs="+",
                        help="the file to judge (- for standard input); several are each "
                        "compared with BASE")
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
    parser.add_argument("--ignore-param", metavar="NAME[,NAME...]", action="append", default=[],
                        help="match rows without these params (e.g. cpus, to compare worker "
                        "placements)")
    parser.add_argument("--rows", metavar="REGEX", action="append", default=[], type=_pattern,
                        help="only the rows whose name matches (sizes as in the file or as "
                        "shown); may be given again")
    parser.add_argument("--include-disturbed", action="store_true",
                        help="judge rows whose run was disturbed like the others")
    cli.add_schema_option(parser)
    return parser


def _pattern(text):
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError("%s is not a regular expression: %s" % (text, error))


def _main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    ignored = [name for names in args.ignore_param for name in names.split(",") if name]
    base, *news = cli.read_inputs(parser, [args.base] + args.new, args.schema)
    results = [compare_files(base, new, args.alpha, args.threshold, ignored, args.rows,
                             args.include_disturbed) for new in news]
    if args.format == "json":
        shown = results[0] if len(results) == 1 else results
        sys.stdout.write(json.dumps(shown, indent=1) + "\n")
    else:
        if args.format == "markdown":
            texts = [render_markdown(result) for result in results]
        else:
            colour = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
            texts = [render_text(result, colour) for result in results]
        sys.stdout.write("\n".join(texts))
    sys.stdout.flush()
    if args.fail_above is not None and any(
            r["verdict"] == "slower" and abs(r["change_percent"]) > args.fail_above
            for result in results for r in result["rows"]):
        return 1
    return 0


def main(argv=None):
    return cli.run(PROG, _main, sys.argv[1:] if argv is None else argv)
