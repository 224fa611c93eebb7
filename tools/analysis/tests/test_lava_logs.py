"""timing-lava-results: JSON Lines back from LAVA job logs, byte for byte."""

import hashlib
import os

import pytest
import yaml

from conftest import FIXTURES, run_tool

LOG = os.path.join(FIXTURES, "lava-job-27.log")  # a run of syscall, as lava-run logged it
BOARD = os.path.join(FIXTURES, "lava-job-27.jsonl")  # what boardmark wrote on the board


def board_bytes():
    with open(BOARD, "rb") as f:
        return f.read()


def log_line(level, message):
    """One line of a dispatcher log, as LAVA writes it: the console's double
    quotes escaped with a backslash, then dumped as one YAML mapping."""
    if level == "target":
        message = message.replace('"', '\\"')
    return yaml.dump({"dt": "2026-12-09T17:19:15.646514", "lvl": level, "msg": message},
                     default_flow_style=True, default_style='"', width=10**6)[:-1] + "\n"


def marked(lines, name="pipe", job="31", device="rk3399", extra=(), ended=False):
    """A log of one run whose JSON Lines are lines; extra: (index, level,
    message) inserted among them; ended: the file stops without a newline."""
    data = "".join(line + "\n" for line in lines).encode("utf-8")
    if ended:
        data = data[:-1]
    body = [("target", line) for line in lines]
    for index, level, message in extra:
        body.insert(index, (level, message))
    messages = ([("info", "Starting test lava.0_boardmark"),
                 ("target", "@@timing-jsonl begin %s job=%s device=%s" % (name, job, device))]
                + body
                + [("target", "@@timing-jsonl end %s lines=%d bytes=%d md5=%s" % (
                    name, data.count(b"\n"), len(data), hashlib.md5(data).hexdigest()))])
    return "".join(log_line(level, message) for level, message in messages), data


def lavacli(log_text, raw):
    """What `lavacli jobs logs` prints of a log: with --raw every mapping
    after "- ", else the time and the message, in colour on a terminal."""
    out = []
    for line in log_text.splitlines():
        if raw:
            out.append("- " + line)
        else:
            record = yaml.safe_load(line)
            out.append("\x1b[0;90m%s\x1b[0m \x1b[32m%s\x1b[0m" % (record["dt"].split(".")[0],
                                                                 record["msg"]))
    return "\n".join(out) + "\n"


def pull(tmp_path, log_text, *options):
    tmp_path.mkdir(parents=True, exist_ok=True)
    path = tmp_path / "job.log"
    path.write_text(log_text, encoding="utf-8")
    out = tmp_path / "out"
    done = run_tool("timing-lava-results", "-o", str(out), *options, str(path))
    files = {p.name: p.read_bytes() for p in out.iterdir()} if out.exists() else {}
    return done, files


def test_a_dispatcher_log_gives_back_what_boardmark_wrote(tmp_path):
    out = tmp_path / "out"
    done = run_tool("timing-lava-results", "-o", str(out), LOG)
    assert done.returncode == 0, done.stderr
    assert done.stdout == str(out / "27_vexpress-a9.jsonl") + "\n"
    assert (out / "27_vexpress-a9.jsonl").read_bytes() == board_bytes()


# Quotes and backslashes in every arrangement the JSON can hold them.
TRICKY = [
    '{"report":"context","warnings":["governor \\"ondemand\\"","ends in \\\\"]}',
    '{"report":"nanoseconds","label":"\\\\\\"x\\\\","ns_per_operation":1.5}',
    '{"report":"nanoseconds","label":"caf\\u00e9 \u00e9","ns_per_operation":2}',
]


@pytest.mark.parametrize("form", ["dispatcher", "lavacli --raw", "lavacli"])
def test_every_log_form_gives_back_the_exact_bytes(tmp_path, form):
    text, data = marked(TRICKY)
    if form != "dispatcher":
        text = lavacli(text, raw=form.endswith("--raw"))
    done, files = pull(tmp_path, text)
    assert done.returncode == 0, done.stderr
    assert files == {"31_rk3399.jsonl": data}


def test_runs_of_a_job_are_joined_in_order_and_named_as_asked(tmp_path):
    first, first_data = marked(TRICKY[:1], name="latency")
    second, second_data = marked(TRICKY[1:], name="syscall")
    other, other_data = marked(TRICKY[2:], job="32", device="board:2")
    done, files = pull(tmp_path, first + second + other)
    assert done.returncode == 0, done.stderr
    assert files == {"31_rk3399.jsonl": first_data + second_data,
                     "32_board_2.jsonl": other_data}
    done, files = pull(tmp_path / "named", first, "--job", "7", "--device", "bench")
    assert files == {"7_bench.jsonl": first_data}


def test_a_run_that_was_ended_mid_line_comes_back_as_it_stopped(tmp_path):
    text, data = marked([TRICKY[0], TRICKY[1][:20]], ended=True)
    done, files = pull(tmp_path, text)
    assert done.returncode == 0, done.stderr
    assert files == {"31_rk3399.jsonl": data}
    assert not data.endswith(b"\n")


def test_a_kernel_message_among_the_lines_is_left_out(tmp_path):
    text, data = marked(TRICKY, extra=[(1, "target", "[   12.345678] random: crng init done"),
                                       (2, "debug", "not the board's output")])
    done, files = pull(tmp_path, text)
    assert done.returncode == 0, done.stderr
    assert files == {"31_rk3399.jsonl": data}


@pytest.mark.parametrize("damage, message", [
    (lambda text: text.replace("warnings", "warn", 1), "do not match its end marker"),
    (lambda text: text.replace('"@@timing-jsonl end', '"lost', 1), "has no end marker"),
    (lambda text: "", "no boardmark runs"),
])
def test_a_damaged_run_is_named_and_not_written(tmp_path, damage, message):
    text, _ = marked(TRICKY)
    done, files = pull(tmp_path, damage(text))
    assert done.returncode == 1
    assert message in done.stderr
    assert files == {}
