"""timing-plot: what a latency sweep's picture holds, its size, and that the
same input gives the same file."""

import json
import re
import struct
import xml.etree.ElementTree as ElementTree

import numpy as np

from conftest import BASE, NEW
from timing_analysis import plot

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
