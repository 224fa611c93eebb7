"""timing-lava-results LOG...: the JSON Lines of boardmark runs in LAVA jobs,
written back byte for byte from the job logs.

A log is what the dispatcher writes (one YAML mapping per line, with "lvl"
and "msg"; "- " before each in a server's download and in `lavacli jobs logs
--raw`) or the plain output of `lavacli jobs logs` (timestamp and message).
The test definition prints each run's JSON Lines between

    @@timing-jsonl begin NAME job=ID device=NAME
    @@timing-jsonl end NAME lines=N bytes=N md5=HEX

and the end marker's counts and MD5 sum are checked against what comes back.
LAVA's log escapes double quotes with a backslash, drops carriage returns
and blank lines; this undoes what can be undone, and a kernel message that
split the runs' lines is left out when the checks then pass. Every run of a
job goes, in the order of the log, into JOB_DEVICE.jsonl.
"""

import argparse
import hashlib
import json
import os
import re
import sys

from . import cli
from .records import InputError

PROG = "timing-lava-results"
MARKER = "@@timing-jsonl "
_BEGIN = re.compile(r"@@timing-jsonl begin (\S+)((?: \S+=\S*)*)\s*$")
_END = re.compile(r"@@timing-jsonl end (\S+)((?: \S+=\S*)*)\s*$")
# `lavacli jobs logs`: "2023-01-19T09:23:45 message", colours when on a terminal.
_PLAIN = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(?: <[^>]*>)? (.*)$")
_COLOUR = re.compile(r"\x1b\[[0-9;]*m")
# A kernel message on the console: "[   12.345678] text".
_KERNEL = re.compile(r"\[\s*\d+\.\d+\] ")
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


class Run:
    """One marked run: its name, job and device, and the lines between the
    markers as they came back."""

    def __init__(self, name, fields, source):
        self.name = name
        self.job = fields.get("job", "")
        self.device = fields.get("device", "")
        self.source = source
        self.lines = []
        self.expected = None  # the end marker's fields
        self.data = None  # the bytes, once checked

    def check(self):
        """The run's bytes when they match the end marker, else None."""
        for lines in (self.lines, [x for x in self.lines if not _KERNEL.match(x)]):
            data = "".join(line + "\n" for line in lines).encode("utf-8")
            # A run that was ended may stop in the middle of its last line,
            # which the definition ends for the log.
            for candidate in (data, data[:-1]):
                if (str(candidate.count(b"\n")) == self.expected.get("lines")
                        and str(len(candidate)) == self.expected.get("bytes")
                        and hashlib.md5(candidate).hexdigest() == self.expected.get("md5")):
                    return candidate
        return None


def _fields(text):
    return dict(word.split("=", 1) for word in text.split())


def _messages(stream):
    """(level, message) of every log line; level is None for plain lines."""
    import yaml

    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    for raw in stream:
        line = raw.rstrip("\r\n")
        text = line[2:] if line.startswith("- {") else line
        if text.startswith("{"):
            try:
                record = json.loads(text)
            except ValueError:
                try:
                    record = yaml.load(text, Loader=loader)
                except yaml.YAMLError:
                    record = None
            if isinstance(record, dict) and "lvl" in record:
                message = record.get("msg")
                yield record["lvl"], message if isinstance(message, str) else None
                continue
        plain = _PLAIN.match(_COLOUR.sub("", line))
        yield None, plain.group(2) if plain else None


def read_runs(stream, source):
    """The marked runs of one log, in order; problems as a list of texts."""
    runs = []
    problems = []
    current = None
    for level, message in _messages(stream):
        if message is None or level not in (None, "target"):
            continue
        # The dispatcher escaped every double quote with a backslash.
        message = message.replace('\\"', '"')
        if message.startswith(MARKER):
            begin = _BEGIN.match(message)
            end = _END.match(message)
            if begin:
                if current is not None:
                    problems.append("%s: run %s has no end marker" % (source, current.name))
                current = Run(begin.group(1), _fields(begin.group(2)), source)
                continue
            if end and current is not None and end.group(1) == current.name:
                current.expected = _fields(end.group(2))
                runs.append(current)
                current = None
                continue
        if current is not None:
            current.lines.append(message)
    if current is not None:
        problems.append("%s: run %s has no end marker" % (source, current.name))
    return runs, problems


def file_name(job, device):
    """JOB_DEVICE.jsonl, each made of safe characters only."""
    parts = [_UNSAFE.sub("_", part) for part in (job or "job", device or "device")]
    return "%s_%s.jsonl" % tuple(parts)


def collect(paths, job=None, device=None):
    """{file name: bytes} of every checked run in the logs at paths, and the
    problems found."""
    files = {}
    problems = []
    for path in paths:
        try:
            stream = (sys.stdin if path == "-"
                      else open(path, encoding="utf-8", errors="replace", newline=""))
        except OSError as error:
            raise InputError("%s: cannot read: %s" % (path, error.strerror))
        with stream:
            runs, found = read_runs(stream, "standard input" if path == "-" else path)
        problems += found
        if not runs and not found:
            problems.append("%s: no boardmark runs between @@timing-jsonl markers" % path)
        for run in runs:
            data = run.check()
            if data is None:
                problems.append("%s: run %s of job %s: %d lines came back, which do not match "
                                "its end marker %s" % (path, run.name, run.job or "?",
                                                       len(run.lines), run.expected))
                continue
            name = file_name(job or run.job, device or run.device)
            files[name] = files.get(name, b"") + data
    return files, problems


def _main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Write the JSON Lines of the boardmark runs in LAVA job logs "
        "back into files, one per job and device, as boardmark wrote them.")
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="a job log from the dispatcher or a server, or the output of "
                        "lavacli jobs logs; - for standard input")
    parser.add_argument("-o", "--output-dir", default=".", metavar="DIR",
                        help="where the files go (default: the current directory)")
    parser.add_argument("--job", help="the job id, instead of the one the runs name")
    parser.add_argument("--device", help="the device name, instead of the one the runs name")
    options = parser.parse_args(argv)
    if options.logs.count("-") > 1:
        parser.error("standard input (-) can be given only once")
    files, problems = collect(options.logs, options.job, options.device)
    for problem in problems:
        print("%s: %s" % (PROG, problem), file=sys.stderr)
    os.makedirs(options.output_dir, exist_ok=True)
    for name, data in files.items():
        path = os.path.join(options.output_dir, name)
        with open(path, "wb") as out:
            out.write(data)
        print(path)
    return 1 if problems else 0


def main(argv=None):
    return cli.run(PROG, _main, sys.argv[1:] if argv is None else argv)
