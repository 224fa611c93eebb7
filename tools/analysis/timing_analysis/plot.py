"""timing-plot FILE... -o OUT: what the reports of one or more runs look like.

Up to three kinds of panel, one below the other:
- latency sweeps (size_latency rows with a size param): nanoseconds per
  load against the working-set size on a log2 axis, a band from the fastest
  to the slowest sample, and the cache sizes of the first file's context;
- bandwidth (mb_per_sec rows with an op param): MB/s per op and worker
  count, against size when there are several sizes, else grouped bars;
- every other report: horizontal bars per label and params, with the range
  from the fastest to the slowest sample, a row that repeats an earlier
  row's run (same params) left out;
- cycles per operation, where the lines carry hardware counters.
Points and bars of disturbed runs are marked. Several files (runs, boards)
overlay, one colour each. The output is the same, byte for
byte, for the same input: no dates in the metadata, a fixed SVG hash salt
and fixed fonts.
"""

import argparse
import dataclasses
import os
import re
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402

from . import cli  # noqa: E402
from .records import Figure, InputError, format_size, param_text, parse_size  # noqa: E402

PROG = "timing-plot"
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Nothing in the file may depend on when or where it was drawn.
METADATA = {"png": {}, "svg": {"Date": None}, "pdf": {"CreationDate": None, "ModDate": None}}
STYLE = {
    "font.family": "DejaVu Sans",
    "svg.hashsalt": "lib_timing",
    "svg.fonttype": "none",  # text stays text: searchable and selectable
    "pdf.fonttype": 42,
    "axes.grid": True,
    "grid.alpha": 0.3,
}
LINE_STYLES = ("-", "--", ":", "-.")
DPI = 100
WIDTH_PX = 1000
CURVE_PANEL_PX = 450
BAR_PX = 22  # height per bar of the horizontal bar panels
LOG_AXIS_SPAN = 10  # curves whose medians span more get a log axis
# A picture smaller than this has no room for a panel's text: --size's range.
SIZE_RANGE_PX = (200, 20000)
# The top of a curve panel kept free of data for the cache labels.
LABEL_ROOM = 0.22
DISTURBED_STYLE = {"marker": "x", "color": "red", "linestyle": "none", "markersize": 7,
                   "zorder": 5}
# Panels of the reports without a curve, by what they measure.
REPORT_TITLES = {
    "microseconds": "Time per operation",
    "microseconds_each": "Time per operation",
    "nanoseconds": "Time per operation",
    "milliseconds": "Time per operation",
    "context_switches": "Time per context switch",
    "throughput": "Throughput",
    "kb_per_sec": "Throughput",
    "mb_per_sec": "Throughput",
    "transfers": "Transfer rate",
    "size_latency": "Time per load",
    "resource_usage": "Real time",
}
CYCLES = Figure("cycles_per_operation", False, "cycles/op", 1, None)
# Params that place a row on the size axis rather than name a series.
SWEEP_PARAMS = ("size",)


def size_label(size, _position=None):
    return format_size(int(size))


def _size_axis(ax, sizes):
    """A log2 axis over sizes with power-of-two ticks in KiB/MiB/GiB."""
    ax.set_xscale("log", base=2)
    low, high = min(sizes).bit_length() - 1, (max(sizes) - 1).bit_length()
    step = max(1, (high - low + 9) // 10)
    ax.xaxis.set_major_locator(ticker.FixedLocator([2.0**e for e in range(low, high + 1, step)]))
    ax.xaxis.set_minor_locator(ticker.NullLocator())
    ax.xaxis.set_major_formatter(ticker.FuncFormatter(size_label))
    ax.set_xlabel("working-set size")


class Naming:
    """Short names for a set of rows: each row's label and the params (and
    worker count) in which the rows differ; what they share goes once into
    the panel's title."""

    def __init__(self, rows, leave_out=()):
        keys = []
        for row in rows:
            keys += [k for k in row.params if k not in keys and k not in leave_out]
        self.varying = [k for k in keys if len({row.params.get(k) for row in rows}) > 1]
        # A workers param says what the worker count would.
        self.parallel_varies = len({row.parallel for row in rows}) > 1 and not all(
            row.params.get("workers") == str(row.parallel) for row in rows)
        first = rows[0]
        self.common = [self._param(first, k) for k in keys
                       if k not in self.varying and k in first.params]
        if not self.parallel_varies and first.parallel != 1:
            self.common.append("parallel=%d" % first.parallel)

    @staticmethod
    def _param(row, key):
        return param_text(key, row.params[key])

    def __call__(self, row):
        words = [row.label] if row.label is not None else []
        words += [self._param(row, k) for k in self.varying if k in row.params]
        if self.parallel_varies:
            words.append("parallel=%d" % row.parallel)
        return " ".join(words)

    def title(self, what, how):
        return "%s (%s)%s" % (what, how, "\n" + " ".join(self.common) if self.common else "")


def _line_style(colours, index, number):
    """Colour and line style of series number of file index: with one file
    each series has a colour of its own, with several each file."""
    if len(colours) == 1:
        return {"color": "C%d" % (number % 10), "linestyle": "-"}
    return {"color": colours[index], "linestyle": LINE_STYLES[number % len(LINE_STYLES)]}


def _shown(row):
    return [row.figure.shown(v) for v in row.values]


def _median(row):
    return statistics.median(_shown(row))


def _all_rows(files):
    return [r for _, rows in files for r in rows]


def _range(rows, middles):
    """Error bar lengths below and above each middle: the samples' range."""
    return [[m - min(_shown(r)) for r, m in zip(rows, middles)],
            [max(_shown(r)) - m for r, m in zip(rows, middles)]]


def _caches(report_file):
    """(label, size) of the data and unified caches of the first context."""
    context = report_file.contexts[0] if report_file.contexts else {}
    found = []
    for cache in context.get("caches") or ():
        level, kind, size = cache.get("level"), cache.get("type"), cache.get("size_bytes")
        if not isinstance(size, int) or size <= 0 or kind not in ("Data", "Unified"):
            continue
        name = "L%s%s" % (level, "d" if kind == "Data" else "")
        if (name, size) not in found:
            found.append((name, size))
    return found


def _better(figure):
    return "%s is better" % ("higher" if figure.higher_is_better else "lower")


def _mark_disturbed(ax, x, rows, y, gid):
    """A red cross on each point whose run was disturbed."""
    points = [(a, b) for a, b, r in zip(x, y, rows) if r.disturbed]
    if points:
        ax.plot(*zip(*points), gid="disturbed-" + gid, **DISTURBED_STYLE)


def _curves(ax, files, names, colours, naming, gid):
    """One line per file and series against size: the median of each row's
    samples, in a band from their lowest to their highest figure."""
    for index, (_, rows) in enumerate(files):
        series = {}
        for row in rows:
            series.setdefault(naming(row), []).append(row)
        for number, (name, members) in enumerate(series.items()):
            members.sort(key=lambda r: parse_size(r.params["size"]))
            x = [parse_size(r.params["size"]) for r in members]
            style = _line_style(colours, index, number)
            medians = [_median(r) for r in members]
            line, = ax.plot(x, medians, marker="o", markersize=3,
                            label=" ".join(filter(None, (names[index], name))), **style)
            line.set_gid("%s-%d-%d" % (gid, index, number))
            _mark_disturbed(ax, x, members, medians, line.get_gid())
            ax.fill_between(x, [min(_shown(r)) for r in members],
                            [max(_shown(r)) for r in members],
                            color=style["color"], alpha=0.2, linewidth=0)
    rows = _all_rows(files)
    _size_axis(ax, [parse_size(r.params["size"]) for r in rows])
    # From caches to memory, figures span orders of magnitude: a log axis
    # then shows every level's plateau.
    medians = [_median(r) for r in rows]
    low, high = min(min(_shown(r)) for r in rows), max(max(_shown(r)) for r in rows)
    # The top of the panel stays free of data: the cache labels go there.
    if min(medians) > 0 and max(medians) > LOG_AXIS_SPAN * min(medians):
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: "%g" % value))
        ax.yaxis.set_minor_locator(ticker.NullLocator())
        low = low / (high / low) ** 0.05
        ax.set_ylim(low, high * (high / low) ** (LABEL_ROOM / (1 - LABEL_ROOM)))
    else:
        ax.set_ylim(0, high / (1 - LABEL_ROOM))
    # Beside the panel, the legend hides neither data nor labels.
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0)


def _grouped_bars(ax, files, names, colours, naming, horizontal):
    """One group per row name, one bar per file in it, the samples' range as
    error bars."""
    groups = []
    for _, rows in files:
        groups += [n for n in map(naming, rows) if n not in groups]
    width = 0.8 / len(files)
    for index, (_, rows) in enumerate(files):
        positions = [groups.index(naming(r)) - 0.4 + width * (index + 0.5) for r in rows]
        middles = [_median(r) for r in rows]
        if horizontal:
            bars = ax.barh(positions, middles, width, xerr=_range(rows, middles), capsize=3,
                           color=colours[index], label=names[index])
        else:
            bars = ax.bar(positions, middles, width, yerr=_range(rows, middles), capsize=3,
                          color=colours[index], label=names[index])
        for number, (bar, row) in enumerate(zip(bars, rows)):
            if row.disturbed:
                bar.set(hatch="xx", edgecolor="red", gid="disturbed-bar-%s-%d-%d" % (
                    ax.get_label(), index, number))
    # Names on several lines: tick labels stay narrow.
    labels = [g.replace(" ", "\n") if not horizontal else g for g in groups]
    if horizontal:
        ax.set_yticks(range(len(groups)), labels)
        ax.invert_yaxis()
        ax.grid(axis="y", visible=False)
    else:
        ax.set_xticks(range(len(groups)), labels)
        ax.grid(axis="x", visible=False)


def latency_panel(ax, files, names, colours, cycles=False):
    naming = Naming(_all_rows(files), SWEEP_PARAMS)
    _curves(ax, files, names, colours, naming, "cycles" if cycles else "latency")
    sizes = [parse_size(r.params["size"]) for r in _all_rows(files)]
    for name, size in _caches(files[0][0]):
        if min(sizes) <= size <= max(sizes):
            ax.axvline(size, color="0.4", linestyle="--", linewidth=0.8, gid="cache-" + name)
            ax.text(size, 0.98, " %s %s" % (name, size_label(size)), rotation=90, fontsize=8,
                    va="top", ha="right", color="0.3", transform=ax.get_xaxis_transform(),
                    gid="cache-label-" + name)
    ax.set_ylabel("%s\n(lower is better)" % ("cycles per load" if cycles else "ns per load"))
    ax.set_title(naming.title("Memory latency in cycles" if cycles else "Memory latency",
                              "band: fastest to slowest sample"))


def bandwidth_panel(ax, files, names, colours):
    rows = _all_rows(files)
    sizes = {parse_size(row.params.get("size")) for row in rows}
    if len(sizes) > 1 and None not in sizes:
        naming = Naming(rows, SWEEP_PARAMS)
        _curves(ax, files, names, colours, naming, "bandwidth")
        ax.set_xlabel("size")
    else:
        # One size, named in the title, or rows without a size to place.
        naming = Naming(rows)
        _grouped_bars(ax, files, names, colours, naming, horizontal=False)
        ax.set_ylim(bottom=0)
    ax.set_ylabel("MB/s per worker\n(higher is better)")
    ax.set_title(naming.title("Bandwidth", "range: slowest to fastest sample"))


def _what(report, rows):
    """A panel's title: what its rows measure, with their shared
    measurement param first."""
    what = REPORT_TITLES.get(report, report)
    measurements = {r.params.get("measurement") for r in rows}
    if len(measurements) == 1 and None not in measurements:
        measurement = measurements.pop()
        what = "%s%s: %s" % (measurement[:1].upper(), measurement[1:], what[:1].lower() + what[1:])
    return what


def bars_panel(ax, report, files, names, colours):
    """Horizontal bars of one report's rows, one bar per file and row."""
    rows = _all_rows(files)
    shared = len({r.params.get("measurement") for r in rows}) == 1
    naming = Naming(rows, ("measurement",) if shared else ())
    _grouped_bars(ax, files, names, colours, lambda r: naming(r) or report, horizontal=True)
    figure = rows[0].figure
    ax.set_xlabel("%s\n(%s)" % (figure.unit, _better(figure)))
    title = "Cycles per operation" if figure is CYCLES else _what(report, rows)
    ax.set_title(naming.title(title, "range: fastest to slowest sample"))


def _is_sweep(row):
    return row.report == "size_latency" and parse_size(row.params.get("size")) is not None


def _is_bandwidth(row):
    return row.report == "mb_per_sec" and "op" in row.params


def _is_bar(row):
    """Whether the row goes to its report's bars rather than a curve panel."""
    return not (_is_sweep(row) or _is_bandwidth(row))


def _names(report_files, given):
    """Legend names: --name in the order of the files, else the machine of
    the context. When a file without a name has no machine, or shares it
    with another, every file without a name shows its file name too."""
    unnamed = report_files[len(given):]
    machines = [f.machine() for f in unnamed]
    with_file = None in machines or len(set(machines)) < len(machines)
    names = list(given)
    for report_file, machine in zip(unnamed, machines):
        file_name = os.path.basename(report_file.shown_name)
        if machine is None:
            names.append(file_name)
        else:
            names.append("%s (%s)" % (machine, file_name) if with_file else machine)
    return names


def _duplicate(row, earlier):
    """Whether row repeats the measurement of an earlier row of its file: a
    program that reports one run twice (a pipe round trip and its two
    context switches) writes the same params and run for both."""
    return bool(row.params) and any(
        r.params == row.params and r.parallel == row.parallel and r.report != row.report
        for r in earlier)


def _cycles_rows(rows):
    """The rows with cycles per iteration, as rows of that figure."""
    return [dataclasses.replace(r, values=list(r.cycles), figure=CYCLES)
            for r in rows if r.cycles]


def draw(report_files, names, width_px=None, height_px=None, dpi=DPI):
    """The figure of all files, panel by panel."""
    panels = []  # (kind, report or None, [(file, its rows)], height in pixels)

    def chosen(test):
        return [(f, [r for r in f.rows if test(r) and r.values]) for f in report_files]

    def shown_once(report_file):
        kept = []
        for row in report_file.rows:
            if not (_is_bar(row) and _duplicate(row, [k for k in kept if _is_bar(k)])):
                kept.append(row)
        return kept

    kept = {id(f): shown_once(f) for f in report_files}
    sweeps = chosen(_is_sweep)
    if any(rows for _, rows in sweeps):
        panels.append(("latency", None, sweeps, CURVE_PANEL_PX))
    cycles = [(f, _cycles_rows(rows)) for f, rows in sweeps]
    if any(rows for _, rows in cycles):
        panels.append(("cycles", None, cycles, CURVE_PANEL_PX))
    bandwidth = chosen(_is_bandwidth)
    if any(rows for _, rows in bandwidth):
        panels.append(("bandwidth", None, bandwidth, CURVE_PANEL_PX))
    reports = []
    for report_file in report_files:
        for row in kept[id(report_file)]:
            if _is_bar(row) and row.report not in reports:
                reports.append(row.report)
    for report in reports:
        rows = [(f, [r for r in kept[id(f)] if r.report == report and _is_bar(r) and r.values])
                for f in report_files]
        count = len({r.key for r in _all_rows(rows)})
        if count:
            panels.append(("bars", report, rows,
                           120 + BAR_PX * count * max(1, len(report_files))))
    bar_cycles = [(f, _cycles_rows(r for r in kept[id(f)] if _is_bar(r)))
                  for f in report_files]
    count = len({r.key for r in _all_rows(bar_cycles)})
    if count:
        panels.append(("bars", "cycles", bar_cycles,
                       120 + BAR_PX * count * max(1, len(report_files))))
    if not panels:
        raise InputError("nothing to plot: no report with a main figure has values")
    width_px = width_px or WIDTH_PX
    height_px = height_px or sum(panel[3] for panel in panels)
    colours = ["C%d" % (i % 10) for i in range(len(report_files))]
    with plt.rc_context(STYLE):
        figure = plt.figure(figsize=(width_px / dpi, height_px / dpi), dpi=dpi,
                            layout="constrained")
        axes = figure.subplots(len(panels), 1, squeeze=False,
                               height_ratios=[panel[3] for panel in panels])[:, 0]
        for number, (ax, (kind, report, files, _)) in enumerate(zip(axes, panels)):
            ax.set_label("panel-%d" % number)
            if kind in ("latency", "cycles"):
                latency_panel(ax, files, names, colours, cycles=kind == "cycles")
            elif kind == "bandwidth":
                bandwidth_panel(ax, files, names, colours)
            else:
                bars_panel(ax, report, files, names, colours)
            # Each file has one colour in every panel: bars need a legend
            # only when no panel above names the files.
            if ax.get_legend() is None and all(a.get_legend() is None for a in axes):
                ax.legend(loc="best")
        if any(r.disturbed for panel in panels for r in _all_rows(panel[2])):
            figure.text(0.01, 0.0, "x, hatched: the run was disturbed (its conditions say so)",
                        fontsize=8, color="red", va="bottom", gid="note-disturbed")
    return figure


def save(figure, path, dpi=DPI):
    kind = FORMATS[os.path.splitext(path)[1].lower()]
    with plt.rc_context(STYLE):
        try:
            figure.savefig(path, format=kind, dpi=dpi, metadata=METADATA[kind])
        except OSError as error:
            raise InputError("%s: cannot write: %s" % (path, error.strerror))
        finally:
            plt.close(figure)


def _pixels(text):
    match = re.fullmatch(r"([0-9]{1,9})x([0-9]{1,9})", text)
    if not match:
        raise argparse.ArgumentTypeError("%s is not WIDTHxHEIGHT in pixels (e.g. 1200x800)" % text)
    size = int(match.group(1)), int(match.group(2))
    low, high = SIZE_RANGE_PX
    if not all(low <= n <= high for n in size):
        raise argparse.ArgumentTypeError(
            "%s: the width and the height must each be from %d to %d pixels" % (text, low, high))
    return size


def _output(text):
    if os.path.splitext(text)[1].lower() not in FORMATS:
        raise argparse.ArgumentTypeError(
            "%s: the name must end in .png, .svg or .pdf (that chooses the format)" % text)
    return text


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Plot JSON Lines report files of lib_timing programs: latency "
        "sweeps against size, bandwidth, and bars for every other report.")
    parser.add_argument("files", metavar="FILE", nargs="+",
                        help="JSON Lines report file (- for standard input)")
    parser.add_argument("-o", "--output", metavar="OUT", required=True, type=_output,
                        help="the picture: .png, .svg or .pdf")
    parser.add_argument("--name", action="append", default=[], metavar="NAME",
                        help="legend name of the next file (default: host and CPU model of its "
                        "context, with the file name where that does not tell the files "
                        "apart); at most once per file")
    parser.add_argument("--size", metavar="WxH", type=_pixels,
                        help="picture size in pixels (default: 1000 wide, height by content)")
    parser.add_argument("--dpi", default=DPI,
                        type=cli.number_option(lambda v: v > 0, "a positive number (e.g. 100)"),
                        help="pixels per inch: PNG resolution and the scale of text (default: "
                        "100)")
    cli.add_schema_option(parser)
    return parser


def _main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if len(args.name) > len(args.files):
        parser.error("%d --name options for %d %s: at most one --name per FILE" % (
            len(args.name), len(args.files), "file" if len(args.files) == 1 else "files"))
    report_files = cli.read_inputs(parser, args.files, args.schema)
    width, height = args.size or (None, None)
    figure = draw(report_files, _names(report_files, args.name), width, height, args.dpi)
    save(figure, args.output, args.dpi)
    return 0


def main(argv=None):
    return cli.run(PROG, _main, sys.argv[1:] if argv is None else argv)
