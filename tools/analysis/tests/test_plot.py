"""timing-plot: what a latency sweep's picture holds, its size, and that the
same input gives the same file."""

import json
import re
import struct
import xml.etree.ElementTree as ElementTree

import matplotlib.pyplot as plt
import numpy as np
import pytest

from conftest import BASE, DISTURBED, NEW, run_tool
from timing_analysis import plot, records

SVG = "{http://www.w3.org/2000/svg}"


def sweep_of(path):
    """(size, median ns per load) of the file's size_latency lines, read
    here from the raw samples."""
    points = []
    for line in open(path):
        record = json.loads(line) if line.startswith("{") else {}
        if record.get("report") == "size_latency":
            ns = sorted(e / i * record["iterations"] / record["operations"] * 1000
                        for e, i in record["samples"]["raw"])
            points.append((int(record["params"]["size"]), ns[len(ns) // 2]))
    return sorted(points)


def path_points(element):
    """The vertices of a line: its group's first path (the markers follow)."""
    path = next(element.iter(SVG + "path"))
    numbers = [float(n) for n in re.findall(r"-?[0-9.]+", path.get("d"))]
    return numbers[0::2], numbers[1::2]


def test_latency_sweep_svg(tmp_path):
    out = tmp_path / "sweep.svg"
    assert plot.main([BASE, NEW, "-o", str(out), "--name", "before"]) == 0
    root = ElementTree.parse(out).getroot()
    texts = {"".join(t.itertext()).strip() for t in root.iter(SVG + "text")}
    assert {"working-set size", "ns per load", "before", "board-b, 4x Cortex-A53",
            "L1d 32 KiB", "L2 512 KiB", "4 KiB", "1 MiB"} <= texts
    groups = {g.get("id"): g for g in root.iter(SVG + "g")}
    assert "cache-L1d" in groups and "cache-L2" in groups
    # Each line's points are the data, on shared axes: one mapping from
    # (log2 size, log ns) to the picture places both lines' points (ns from
    # 1.5 to 88 span more than a factor of ten: a log axis).
    mapping = None
    for gid, path in (("latency-0-0", BASE), ("latency-1-0", NEW)):
        sizes, ns = zip(*sweep_of(path))
        drawn = path_points(groups[gid])
        data = (np.log2(sizes), np.log(ns))
        assert len(drawn[0]) == len(sizes) == 6
        if mapping is None:
            mapping = [np.polyfit(d, p, 1) for d, p in zip(data, drawn)]
        for fit, d, p in zip(mapping, data, drawn):
            assert np.abs(np.polyval(fit, d) - p).max() < 0.01


def test_png_has_the_requested_size(tmp_path):
    out = tmp_path / "sweep.png"
    assert plot.main([BASE, "-o", str(out), "--size", "777x555"]) == 0
    header = out.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", header[16:24]) == (777, 555)


def test_same_input_same_file(tmp_path):
    for kind in ("svg", "pdf", "png"):
        first, second = tmp_path / ("1." + kind), tmp_path / ("2." + kind)
        for out in (first, second):
            assert plot.main([BASE, "-o", str(out)]) == 0
        assert first.read_bytes() == second.read_bytes(), kind
    assert b"<dc:date>" not in first.with_suffix(".svg").read_bytes()
    assert b"/CreationDate" not in first.with_suffix(".pdf").read_bytes()


def _lines(path, first=None, last=None):
    return open(path).read().splitlines()[first:last]


PIPE = ('{"report":"microseconds","elapsed_us":18000,"iterations":1000,"label":"round trip",'
        '"operations":1000,"us_per_operation":18.0,"params":{"measurement":"pipe","cpus":"same"}}')


@pytest.mark.parametrize("files, args, status, shown, not_shown", [
    # Too small a picture is refused, naming the option and the range.
    ([_lines(BASE)], ["--size", "10x10"], 2, ["argument --size", "from 200 to 20000 pixels"], []),
    ([_lines(BASE)], ["--name", "a", "--name", "b", "--name", "c"], 2,
     ["3 --name options for 1 file: at most one --name per FILE"], []),
    # Panels by what they measure, the direction on every axis, the pipe's
    # round trip once (its switches, on the next line, are the same run).
    ([_lines(BASE, None, 8) + [PIPE] + _lines(BASE, 8)], [], 0,
     ["Syscall: time per operation (range: fastest to slowest sample)", "Pipe: time per operation "
      "(range: fastest to slowest sample)", "round trip", "(higher is better)", "(lower is better)"],
     ["nanoseconds", "context_switches", "Time per context switch"]),
    # Without --name, a file without context has its file name, and then
    # every file does.
    ([_lines(BASE), _lines(NEW, 1)], [], 0,
     ["board-a, 4x Cortex-A53 (0.jsonl)", "1.jsonl"], ["board-a, 4x Cortex-A53"]),
])
def test_what_a_new_user_tripped_over(tmp_path, files, args, status, shown, not_shown):
    paths = []
    for number, lines in enumerate(files):
        paths.append(tmp_path / ("%d.jsonl" % number))
        paths[-1].write_text("\n".join(lines) + "\n")
    out = tmp_path / "out.svg"
    done = run_tool("timing-plot", *map(str, paths), "-o", str(out), *args)
    assert done.returncode == status, done.stderr
    if status:
        texts = {done.stderr}
    else:
        texts = {"".join(t.itertext()).strip()
                 for t in ElementTree.parse(out).getroot().iter(SVG + "text")}
    for text in shown:
        assert any(text in t for t in texts), text
    for text in not_shown:
        assert text not in texts


def test_cache_labels_stay_clear(tmp_path):
    # An L3 of 3 MiB: its label stands where the curve climbs.
    lines = _lines(NEW)
    context = json.loads(lines[0])
    context["caches"].append({"level": 3, "type": "Unified", "size_bytes": 3 << 20,
                              "shared_cpu_list": "0-3"})
    path = tmp_path / "l3.jsonl"
    path.write_text("\n".join([json.dumps(context)] + lines[1:]) + "\n")
    report_file = records.read_report_file(str(path), records.load_validator())
    figure = plot.draw([report_file], ["board-b, 4x Cortex-A53, 6.1.0-28-arm64, new.jsonl"])
    figure.canvas.draw()
    ax = figure.axes[0]
    labels = {t.get_gid(): t.get_window_extent() for t in ax.texts}
    assert set(labels) == {"cache-label-L1d", "cache-label-L2", "cache-label-L3"}
    legend = ax.get_legend().get_window_extent()
    for line in ax.lines:
        if not (line.get_gid() or "").startswith("latency"):
            continue
        # Points along each segment, where the picture draws them.
        points = ax.transData.transform(line.get_xydata())
        for a, b in zip(points, points[1:]):
            for t in np.linspace(0, 1, 50):
                x, y = a + (b - a) * t
                assert not any(box.contains(x, y) for box in labels.values()), line.get_gid()
    for gid, box in labels.items():
        assert not box.overlaps(legend), gid
    plt.close(figure)


def test_disturbed_points_and_cycles(tmp_path, conditions_schema):
    out = tmp_path / "conditions.svg"
    assert plot.main([BASE, DISTURBED, "-o", str(out), "--schema", conditions_schema]) == 0
    root = ElementTree.parse(out).getroot()
    groups = {g.get("id"): g for g in root.iter(SVG + "g")}
    texts = {"".join(t.itertext()).strip() for t in root.iter(SVG + "text")}
    assert {"cycles per load", "Memory latency in cycles (band: fastest to slowest sample)"} <= texts
    # Cycles per load: the counters' cycles per iteration over 1000 loads,
    # drawn only for the file that has them.
    assert "cycles-1-0" in groups and "cycles-0-0" not in groups
    cycles = [json.loads(line)["conditions"]["counters"]["cycles_per_iteration"] / 1000
              for line in _lines(DISTURBED, 1, 7)]
    sizes = [json.loads(line)["size_bytes"] for line in _lines(DISTURBED, 1, 7)]
    x, y = path_points(groups["cycles-1-0"])
    fit = np.polyfit(cycles, y, 1)
    assert np.abs(np.polyval(fit, cycles) - y).max() < 0.01 and len(x) == len(sizes)
    # The disturbed 4 KiB row is crossed in both panels of its file, no other.
    crosses = [g for g in root.iter(SVG + "g") if (g.get("id") or "").startswith("disturbed")]
    assert len(crosses) == 2
