"""Shared by the tests: the package on the path, the fixtures and the
commands as they are run."""

import os
import subprocess
import sys

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(TOOLS, "tests", "fixtures")
BASE = os.path.join(FIXTURES, "base.jsonl")
NEW = os.path.join(FIXTURES, "new.jsonl")
sys.path.insert(0, TOOLS)

from timing_analysis import records  # noqa: E402


@pytest.fixture(scope="session")
def validator():
    # The schema the library installs; the tests never run without it.
    return records.load_validator()


def run_tool(name, *args, input=None):
    """Runs tools/analysis/NAME as a user would; returns the finished process."""
    return subprocess.run([os.path.join(TOOLS, name)] + list(args), input=input,
                          capture_output=True, text=True, timeout=120)
