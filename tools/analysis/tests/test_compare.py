"""timing-compare on hand-made files of known answers.

base.jsonl and new.jsonl: a latency sweep 10 % slower in new (11 samples
each, 1 % noise), a system call row identical in both, a context switch row
of 3 samples, a read bandwidth row 10 % lower in new and written twice into
base (6 + 5 samples), and one row only in each file.
"""

import json
import os
import pty
import subprocess

import pytest

from conftest import BASE, DISTURBED, NEW, TOOLS, run_tool
from timing_analysis import compare, records


@pytest.fixture(scope="module")
def result(validator):
    return compare.compare_files(records.read_report_file(BASE, validator),
                                 records.read_report_file(NEW, validator))


def row(result, name):
    (found,) = [r for r in result["rows"] if r["row"] == name]
    return found


LATENCY_4K = "size_latency measurement=latency size=4096 pages=default"
READ_1 = "mb_per_sec measurement=bandwidth size=67108864 op=read workers=1"


def test_ten_percent_apart_is_slower_beyond_the_noise(result):
    latency = row(result, LATENCY_4K)
    # The median sample, 6006 us over 4000 iterations of 1000 loads each.
    assert latency["base"] == pytest.approx(1.5015) and latency["unit"] == "ns/op"
    assert latency["change_percent"] == pytest.approx(10, abs=0.1)
    assert latency["p_value"] < 0.01
    low, high = latency["interval_percent"]
    assert 0 < low < 10 < high
    assert latency["verdict"] == "slower"
    # A rate 10 % lower is slower too: higher is better there.
    bandwidth = row(result, READ_1)
    assert bandwidth["change_percent"] == pytest.approx(-10, abs=0.2)
    assert bandwidth["verdict"] == "slower"


def test_identical_samples_are_the_same(result):
    same = row(result, "nanoseconds getppid measurement=syscall")
    assert same["change_percent"] == 0 and same["p_value"] == pytest.approx(1)
    assert -2 < same["interval_percent"][0] <= 0 <= same["interval_percent"][1] < 2
    assert same["verdict"] == "same"


def test_three_samples_give_no_p_value(result):
    few = row(result, "context_switches measurement=pipe cpus=same")
    assert few["p_value"] is None and few["verdict"] == "unclear"
    for text in (compare.render_text(result, colour=False), compare.render_markdown(result)):
        (line,) = [line for line in text.splitlines() if "context_switches" in line]
        assert "n/a" in line and "3/3" in line


def test_records_of_one_row_in_a_file_are_pooled(result):
    pooled = row(result, READ_1)
    assert (pooled["base_records"], pooled["base_samples"]) == (2, 11)
    # The pooled median: 64 MiB at 3000 MB/s, the noise's middle factor.
    assert pooled["base"] == pytest.approx(3000 / 1.001, rel=1e-3)


def test_what_surrounds_the_rows(result):
    assert [r["row"] for r in result["only_in_base"]] == [
        "mb_per_sec measurement=bandwidth size=67108864 op=read workers=2 parallel=2"]
    assert [r["row"] for r in result["only_in_new"]] == ["microseconds open measurement=files"]
    assert [d["field"] for d in result["context_differences"]] == [
        "host", "kernel", "CPU governors", "enough interval from"]
    assert result["base"]["warnings"] == [] and len(result["new"]["warnings"]) == 2
    assert result["base"]["skipped_lines"] == 1
    # Six latency rows at 1.10, 1.0 for the system call, 9.509/9 for the
    # switches, and the bandwidth's inverse ratio as a time: 2997/2697.
    expected = (1.1**6 * (9.509 / 9.0) * (2997.0 / 2697.0)) ** (1 / 9)
    assert result["geometric_mean"]["time_ratio"] == pytest.approx(expected, rel=1e-3)


def test_exit_status_and_output_formats():
    plain = run_tool("timing-compare", BASE, NEW)
    assert plain.returncode == 0 and "slower" in plain.stdout and "\033[" not in plain.stdout
    within = run_tool("timing-compare", BASE, NEW, "--format", "json", "--fail-above", "15")
    assert within.returncode == 0, within.stderr
    assert json.loads(within.stdout)["rows"][0]["verdict"] == "slower"
    beyond = run_tool("timing-compare", BASE, NEW, "--fail-above", "5")
    assert beyond.returncode == 1, beyond.stderr
    usage = run_tool("timing-compare", BASE, NEW, "--fail-above", "much")
    assert usage.returncode == 2 and "much is not a percentage" in usage.stderr


def test_bad_input_names_file_and_line(tmp_path):
    lines = open(BASE).read().splitlines()
    broken = tmp_path / "broken.jsonl"
    broken.write_text("\n".join(lines[:3] + [lines[3][:40]] + lines[4:]) + "\n")
    done = run_tool("timing-compare", BASE, str(broken))
    assert done.returncode == 2
    assert done.stderr.startswith("timing-compare: %s:4: malformed JSON object" % broken)
    invalid = tmp_path / "invalid.jsonl"
    invalid.write_text('{"report":"mb_per_sec","elapsed_us":"soon","iterations":1,"bytes":1,'
                       '"mb_per_sec":1}\n')
    done = run_tool("timing-compare", "-", str(invalid), input=open(BASE).read())
    assert done.returncode == 2 and "%s:1: does not match the report schema" % invalid in done.stderr
    text_only = tmp_path / "text.jsonl"
    text_only.write_text("memread: 64 KiB\n1 workers, 10 passes in 5000 us: 12.50 MB/sec\n")
    done = run_tool("timing-compare", str(text_only), NEW)
    assert done.returncode == 2 and "%s: no report lines" % text_only in done.stderr


def test_colour_only_on_a_terminal_without_no_color():
    def on_terminal(environment):
        primary, secondary = pty.openpty()
        process = subprocess.Popen([os.path.join(TOOLS, "timing-compare"), BASE, NEW],
                                   stdout=secondary, env=environment)
        os.close(secondary)
        output = b""
        try:
            while True:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:  # EIO: the program has closed the terminal
                    break
                if not chunk:
                    break
                output += chunk
        finally:
            os.close(primary)
            assert process.wait(timeout=120) == 0
        return output.decode()

    environment = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    assert "\033[31mslower\033[0m" in on_terminal(environment)
    assert "\033[" not in on_terminal(dict(environment, NO_COLOR="1"))


def _placement(text):
    # The pipe row of another placement: a param differs.
    return text.replace('"cpus":"same"', '"cpus":"other"')


@pytest.mark.parametrize("args, edit, shown, not_shown", [
    # A param that differs keeps rows apart, says which, and can be left out.
    ([], _placement, ["only in base:\n  context_switches measurement=pipe cpus=same\n",
                      "differ from the other file's only in cpus: --ignore-param cpus"], []),
    (["--ignore-param", "cpus"], _placement,
     ["us/switch, lower is better; measurement=pipe cpus=same vs other\n  context_switches  "],
     ["only in base:\n  context_switches"]),
    # Sizes as boardmark's tables write them, shared params once per report.
    ([], None, ["ns/op, lower is better; measurement=latency pages=default\n"
                "  size_latency size=4 KiB  ", "op=read workers=2 parallel=2"],
     ["4096", "67108864", "size=4 KiB pages="]),
    (["--format", "markdown"], None, ["| **MB/s, higher is better; measurement=bandwidth "
                                      "size=64 MiB op=read workers=1** |", "| mb_per_sec | 2997 |"],
     ["67108864"]),
    # Rows picked by pattern, as written in the file or as shown.
    (["--rows", "size=(4|16) KiB", "--rows", "getppid|size=1048576"], None,
     ["size=4 KiB", "size=16 KiB", "size=1 MiB", "getppid", "over 4 rows"],
     ["size=64 KiB", "context_switches", "only in"]),
    # A line of another tool.
    ([], lambda text: '{"tool":"other","value":1}\n', [
        'new.jsonl:1: not a report line: the "report" key is missing'], ["bytes_per_repetition"]),
])
def test_what_a_new_user_tripped_over(tmp_path, args, edit, shown, not_shown):
    new = NEW
    if edit:
        new = tmp_path / "new.jsonl"
        new.write_text(edit(open(NEW).read()))
    done = run_tool("timing-compare", BASE, str(new), *args)
    output = done.stdout + done.stderr
    for text in shown:
        assert text in output
    for text in not_shown:
        assert text not in output
    # Rows fit a terminal.
    assert all(len(line) <= 100 for line in done.stdout.splitlines()
               if line.endswith(("slower", "faster", "same", "unclear")))


def test_disturbed_rows_and_warnings(conditions_schema):
    validator = records.load_validator(conditions_schema)
    base, new = (records.read_report_file(p, validator) for p in (BASE, DISTURBED))
    for include, verdict, rows, left_out in ((False, "disturbed", 8, 1), (True, "slower", 9, None)):
        result = compare.compare_files(base, new, include_disturbed=include)
        latency = row(result, LATENCY_4K)
        assert latency["verdict"] == verdict and latency["disturbed"] == {"base": False,
                                                                          "new": True}
        mean = result["geometric_mean"]
        assert (mean["rows"], mean.get("disturbed_left_out")) == (rows, left_out)
    text = compare.render_text(compare.compare_files(base, new), colour=False)
    assert ("! size_latency size=4 KiB" in text
            and "\n    new: worker 1 moved between CPUs 3 times\n" in text
            and "  nanoseconds getppid" in text and "\n    new: other processes used 12 % of a CPU\n"
            in text and "; 1 disturbed row left out\n" in text)
    # Old files, without conditions, are read as undisturbed without warnings.
    assert not any(r.disturbed or r.warnings or r.cycles for r in base.rows)


def test_several_new_files_each_against_base():
    done = run_tool("timing-compare", "--format", "json", BASE, NEW, NEW)
    first, second = json.loads(done.stdout)
    assert first == second and first["new"]["file"] == NEW
    assert run_tool("timing-compare", BASE, NEW, NEW).stdout.count("\ngeometric mean") == 2
