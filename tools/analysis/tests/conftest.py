"""Shared by the tests: the package on the path, the fixtures and the
commands as they are run."""

import json
import os
import subprocess
import sys

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(TOOLS, "tests", "fixtures")
BASE = os.path.join(FIXTURES, "base.jsonl")
NEW = os.path.join(FIXTURES, "new.jsonl")
# new.jsonl with the conditions of each run: 4 KiB disturbed, cycles per load
# from counters, warnings on two rows.
DISTURBED = os.path.join(FIXTURES, "disturbed.jsonl")
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


@pytest.fixture(scope="session")
def conditions_schema(tmp_path_factory):
    """The report schema, with every report's "warnings" and with any
    "conditions" object: the fixtures carry only the conditions the
    analysis tools read (the library's tests check the rest)."""
    with open(records.find_schema(), encoding="utf-8") as stream:
        schema = json.load(stream)
    properties = schema["$defs"]["report"]["properties"]
    properties.setdefault("warnings", {"type": "array", "items": {"type": "string"}})
    properties["conditions"] = {"type": "object"}
    path = tmp_path_factory.mktemp("schema") / "report.schema.json"
    path.write_text(json.dumps(schema))
    return str(path)
