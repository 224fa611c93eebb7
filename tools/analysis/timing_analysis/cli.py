"""What both commands share on the command line: their error handling and
exit statuses (0, 1 for a failed check, 2 for a usage or input error)."""

import argparse
import os
import sys

from .records import InputError


def number_option(text, allow_zero=True, below=None):
    """A number read from an option, or an argparse error naming the form."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not (value >= 0 if allow_zero else value > 0) or (below is not None and value >= below):
        limit = " below %g" % below if below is not None else ""
        raise argparse.ArgumentTypeError(
            "%s is not a %s number%s (e.g. 2, 0.5)"
            % (text, "non-negative" if allow_zero else "positive", limit))
    return value


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
