"""Report files: JSON Lines as lib_timing writes them, read and validated
against the report schema, with their records pooled into rows.

A row is what a record measured: its report, label, params and worker count
(run.parallel, 1 without a run). Several records of one row in a file (a
program run several times into one file) are pooled: the row's values are
every sample of every record, each as the report's main figure.
"""

import json
import math
import os
import re
import sys
from dataclasses import dataclass, field

SCHEMA_NAME = "report.schema.json"
# Where the schema lies relative to this package: installed, the package is
# share/lib_timing/python/timing_analysis beside share/lib_timing/SCHEMA_NAME;
# in the source tree it is tools/analysis/timing_analysis and the schema
# lib/timing/SCHEMA_NAME.
SCHEMA_PLACES = (
    os.path.join("..", "..", SCHEMA_NAME),
    os.path.join("..", "..", "..", "lib", "timing", SCHEMA_NAME),
)


class InputError(Exception):
    """An input that cannot be used; the message names it (file and line)."""


# Sizes as the library reads them: a number, times 10^3.. for K, M, G and
# 2^10.. for k, m, g.
SIZE_SUFFIXES = {"": 1, "K": 10**3, "M": 10**6, "G": 10**9, "k": 1 << 10, "m": 1 << 20,
                 "g": 1 << 30}
SIZE_PATTERN = re.compile(r"([0-9]+)([KMGkmg]?)")
SIZE_UNITS = ("bytes", "KiB", "MiB", "GiB", "TiB")


def parse_size(text):
    """The bytes of a size text, or None when it is not one."""
    match = SIZE_PATTERN.fullmatch(text) if isinstance(text, str) else None
    return int(match.group(1)) * SIZE_SUFFIXES[match.group(2)] if match else None


def format_size(size):
    """A size for people as boardmark's tables write it: "4 KiB", "1.5 MiB",
    "100 bytes"; whole numbers as such, else one or two decimals."""
    unit, value = 0, float(size)
    while unit < len(SIZE_UNITS) - 1 and size >= 1 << (10 * (unit + 1)):
        unit += 1
        value /= 1024
    for decimals in (0, 1):
        if value * 10**decimals == int(value * 10**decimals):
            return "%.*f %s" % (decimals, value, SIZE_UNITS[unit])
    return "%.2f %s" % (value, SIZE_UNITS[unit])


def param_text(key, value):
    """key=value, a size param in the units above."""
    size = parse_size(value) if key == "size" else None
    return "%s=%s" % (key, format_size(size) if size else value)


@dataclass(frozen=True)
class Figure:
    """A report's main figure: the key that holds it, its direction, how it
    is shown, and how one sample gives it."""

    key: str
    higher_is_better: bool
    unit: str  # of the shown value
    scale: float  # shown value = figure * scale
    # (record, microseconds per iteration of one sample) -> the figure
    of_sample: object

    def shown(self, value):
        return value * self.scale


# A record's counts cover its top-level "iterations"; a sample took
# elapsed/iterations microseconds per iteration (t below).
def _time(count_key, factor):
    def of_sample(record, t):
        count = record[count_key] if count_key else 1
        return t * record["iterations"] / count * factor

    return of_sample


def _rate(total, factor):
    def of_sample(record, t):
        return total(record) / record["iterations"] / t * factor

    return of_sample


# Bytes per microsecond are MB per second.
FIGURES = {
    "throughput": Figure(
        "mb_per_sec", True, "MB/s", 1,
        _rate(lambda r: r["bytes_per_repetition"] * r["repetitions"], 1)),
    "kb_per_sec": Figure("kb_per_sec", True, "KB/s", 1, _rate(lambda r: r["bytes"], 1000)),
    "mb_per_sec": Figure("mb_per_sec", True, "MB/s", 1, _rate(lambda r: r["bytes"], 1)),
    # The library's total wraps modulo 2^64 as the caller's count * size does.
    "transfers": Figure(
        "mb_per_sec", True, "MB/s", 1,
        _rate(lambda r: (r["count"] * r["size_bytes"]) % 2**64, 1)),
    "context_switches": Figure("us_per_switch", False, "us/switch", 1, _time("switches", 1)),
    "nanoseconds": Figure("ns_per_operation", False, "ns/op", 1, _time("operations", 1000)),
    "microseconds": Figure("us_per_operation", False, "us/op", 1, _time("operations", 1)),
    "size_latency": Figure("us_per_operation", False, "ns/op", 1000, _time("operations", 1)),
    # Per sample untruncated; the record's own figure is whole milliseconds.
    "milliseconds": Figure("ms_per_operation", False, "ms/op", 1, _time("operations", 0.001)),
    "microseconds_each": Figure("us_per_operation", False, "us/op", 1, _time("operations", 1)),
    "resource_usage": Figure("real_seconds", False, "s", 1, _time(None, 1e-6)),
}


def _finite(value):
    return (isinstance(value, (int, float)) and not isinstance(value, bool)
            and math.isfinite(value))


def row_name(report, label, params, parallel):
    """A row's name: report, label, the params (as texts) and the worker
    count when it is not 1."""
    words = [report] + ([label] if label is not None else []) + list(params)
    if parallel != 1:
        words.append("parallel=%d" % parallel)
    return " ".join(words)


@dataclass
class Row:
    report: str
    label: object  # a text or None
    params: dict  # as the first record of the row has them
    parallel: int
    figure: Figure
    values: list = field(default_factory=list)  # the figure of every sample
    records: int = 0
    warnings: list = field(default_factory=list)  # of every record, each once
    disturbed: bool = False  # some record's run was
    # Per sample, as values: the records' cycles per operation (per
    # iteration without an operation count), where hardware counters gave them.
    cycles: list = field(default_factory=list)

    @property
    def key(self):
        return (self.report, self.label, tuple(sorted(self.params.items())), self.parallel)

    @property
    def name(self):
        return row_name(self.report, self.label, ["%s=%s" % item for item in self.params.items()],
                        self.parallel)

    @property
    def shown_name(self):
        """The name with sizes for people."""
        return row_name(self.report, self.label,
                        [param_text(k, v) for k, v in self.params.items()], self.parallel)

    def add(self, record):
        """Pools a record's samples (or, without raw samples, its figure)."""
        self.records += 1
        values = []
        raw = (record.get("samples") or {}).get("raw")
        for sample in raw if isinstance(raw, list) else ():
            try:
                elapsed, iterations = sample
                value = self.figure.of_sample(record, elapsed / iterations)
            except (ValueError, TypeError, KeyError, ZeroDivisionError):
                # A sample without iterations, or a record without the
                # counts its figure divides by (then its figure is null).
                continue
            if _finite(value):
                values.append(value)
        if not values and _finite(record.get(self.figure.key)):
            values.append(record[self.figure.key])
        self.values += values
        for warning in record.get("warnings") or ():
            if warning not in self.warnings:
                self.warnings.append(warning)
        conditions = record.get("conditions")
        conditions = conditions if isinstance(conditions, dict) else {}
        self.disturbed = self.disturbed or conditions.get("disturbed") is True
        counters = conditions.get("counters")
        cycles = counters.get("cycles_per_iteration") if isinstance(counters, dict) else None
        if isinstance(cycles, list) and cycles and all(map(_finite, cycles)):
            cycles = sum(cycles) / len(cycles)  # per worker: their mean
        if _finite(cycles):
            # Per operation where an iteration holds several (the loads of
            # a latency row).
            if _finite(record.get("operations")) and record["operations"] > 0:
                cycles = cycles * record["iterations"] / record["operations"]
            self.cycles += [cycles] * len(values)


@dataclass
class ReportFile:
    name: str  # as given, "-" for standard input
    contexts: list = field(default_factory=list)
    rows: list = field(default_factory=list)  # in order of first appearance
    skipped: int = 0  # lines that are not JSON objects
    records: int = 0
    unknown: dict = field(default_factory=dict)  # report -> records of it without a main figure

    def __post_init__(self):
        self._by_key = {}

    @property
    def shown_name(self):
        return "standard input" if self.name == "-" else self.name

    def machine(self):
        """Host and CPU model of the first context, or None."""
        if not self.contexts:
            return None
        context = self.contexts[0]
        words = [w for w in (context.get("host"), context.get("cpu_model")) if isinstance(w, str)]
        return ", ".join(words) or None

    def warnings(self):
        """The warnings of every context line, each once, in order."""
        seen = []
        for context in self.contexts:
            for warning in context.get("warnings") or ():
                if warning not in seen:
                    seen.append(warning)
        return seen

    def _add(self, record):
        self.records += 1
        report = record["report"]
        figure = FIGURES.get(report)
        if figure is None:
            self.unknown[report] = self.unknown.get(report, 0) + 1
            return
        params = record.get("params")
        params = dict(params) if isinstance(params, dict) else {}
        parallel = (record.get("run") or {}).get("parallel", 1)
        row = Row(report, record.get("label"), params, parallel, figure)
        existing = self._by_key.get(row.key)
        if existing is None:
            self._by_key[row.key] = row
            self.rows.append(row)
        else:
            row = existing
        row.add(record)


def _schema_paths():
    here = os.path.dirname(os.path.abspath(__file__))
    return [os.path.normpath(os.path.join(here, place)) for place in SCHEMA_PLACES]


def find_schema():
    return next((path for path in _schema_paths() if os.path.isfile(path)), None)


def load_validator(path=None):
    """A validator for the report schema at path, or the installed one."""
    import jsonschema

    if path is None:
        path = find_schema()
        if path is None:
            raise InputError("no report schema found (looked for %s); name one with --schema FILE"
                             % ", ".join(_schema_paths()))
    try:
        with open(path, encoding="utf-8") as stream:
            schema = json.load(stream)
        validator_class = jsonschema.validators.validator_for(
            schema, default=jsonschema.Draft202012Validator)
        validator_class.check_schema(schema)
    except OSError as error:
        raise InputError("%s: cannot read the report schema: %s" % (path, error.strerror))
    except (ValueError, jsonschema.SchemaError) as error:
        raise InputError("%s: not a usable JSON schema: %s" % (path, error))
    return validator_class(schema)


def _reject_constant(name):
    # NaN and Infinity are not JSON; the library writes null instead.
    raise ValueError("%s is not a JSON value" % name)


def _schema_problem(validator, record):
    import jsonschema

    error = jsonschema.exceptions.best_match(validator.iter_errors(record))
    if error is None:
        return None
    where = "/".join(str(part) for part in error.absolute_path)
    return "does not match the report schema: %s%s" % (
        error.message, " (at %s)" % where if where else "")


def json_lines(stream, name):
    """(line number, object) of each line of a binary stream that starts
    with {, and (line number, None) of each other line that is not blank.
    An object that does not parse is an InputError naming name and the line."""
    for number, line in enumerate(stream, 1):
        text = line.strip()
        if not text:
            continue
        if not text.startswith(b"{"):
            yield number, None
            continue
        try:
            yield number, json.loads(text.decode("utf-8"), parse_constant=_reject_constant)
        except ValueError as error:  # UnicodeDecodeError is one
            raise InputError("%s:%d: malformed JSON object: %s" % (name, number, error))


def read_report_file(path, validator):
    """Reads one JSON Lines file ("-" for standard input) into a ReportFile.

    Lines that are not JSON objects (a program's own text) are skipped and
    counted; an object that does not parse or validate is an InputError
    naming the file and line, and so is a file without report lines.
    """
    result = ReportFile(path)
    name = result.shown_name
    try:
        stream = sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as error:
        raise InputError("%s: cannot read: %s" % (path, error.strerror))
    try:
        for number, record in json_lines(stream, name):
            if record is None:
                result.skipped += 1
                continue
            # The schema would name the first key it misses, which for a
            # line of another tool is seldom the one that matters.
            if "report" not in record:
                raise InputError('%s:%d: not a report line: the "report" key is missing'
                                 % (name, number))
            problem = _schema_problem(validator, record)
            if problem:
                raise InputError("%s:%d: %s" % (name, number, problem))
            if not isinstance(record.get("report"), str):
                raise InputError('%s:%d: not a report line (no "report" text)' % (name, number))
            if record["report"] == "context":
                result.contexts.append(record)
            else:
                result._add(record)
    except OSError as error:
        raise InputError("%s: cannot read: %s" % (name, error.strerror))
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if result.records == 0:
        raise InputError("%s: no report lines (JSON Lines as programs write them with "
                         "TIMING_REPORT_FORMAT=json)" % name)
    return result
