"""What both commands share on the command line: option values, and the
exit statuses (0, 1 for a failed check, 2 for a usage or input error)."""

import argparse
import math
import os
import sys

from .records import InputError, load_validator, read_report_file


def number_option(test, accepted):
    """An argparse type: a finite number that passes test, else an error
    that says what is accepted."""

    def parse(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or not test(value):
            raise argparse.ArgumentTypeError("%s is not %s" % (text, accepted))
        return value

    return parse


def add_schema_option(parser):
    parser.add_argument("--schema", metavar="FILE",
                        help="the report schema to validate against (default: the installed one)")


def read_inputs(parser, paths, schema):
    """The report files at paths, validated against schema (or the
    installed one); standard input (-) at most once."""
    if paths.count("-") > 1:
        parser.error("standard input (-) can be given only once")
    validator = load_validator(schema)
    return [read_report_file(path, validator) for path in paths]


def run(prog, body, argv):
    """Runs body(argv); an InputError ends with its message and status 2."""
    try:
        return body(argv)
    except InputError as error:
        print("%s: %s" % (prog, error), file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say to it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
