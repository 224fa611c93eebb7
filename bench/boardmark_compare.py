#!/usr/bin/python3
"""boardmark beside independent tools on the same machine in the same run.

Each round runs every pair back to back, boardmark and the tool taking turns
at going first, so that a shared machine's drift hits both alike:

  syscall                    boardmark syscall      perf bench syscall basic
  pipe, one CPU              boardmark pipe         taskset -c 0 perf bench sched pipe
  pipe, two CPUs             boardmark pipe         perf bench sched pipe (unpinned)
  read, write (1 and N)      boardmark bandwidth    sysbench memory (--memory-scope=local)
  copy (1 worker)            boardmark bandwidth    mbw -t0 (memcpy)

with word_loops (bench/word_loops.cpp) in the same rounds: plain read and
write loops with one 8-byte access at a time and vectorised, which shows
what the width of the accesses alone does on this machine;

and then the latency curve (boardmark latency, default and huge pages) is
set against the cache sizes of boardmark's context line, or getconf's when it
has none.
Markdown on standard output, progress on standard error.
"""
import argparse
import io
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools",
                                "analysis"))
from timing_analysis import records  # noqa: E402

MIB = 1024 * 1024


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, env=None):
    log("  $ " + " ".join(command))
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=full_env, check=False)
    if done.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (command[0], done.returncode,
                                                  done.stderr.decode(errors="replace")))
    return done.stdout.decode() + done.stderr.decode()


def json_rows(text):
    """The report lines of boardmark's JSON Lines, without the context line."""
    lines = records.json_lines(io.BytesIO(text.encode()), "boardmark's output")
    return [r for _, r in lines if r is not None and r["report"] != "context"]


def boardmark_rows(args, command, *options):
    """The report lines of one boardmark command run with ENOUGH=args.enough."""
    return json_rows(run([args.boardmark, command, "--json"] + list(options),
                         {"ENOUGH": str(args.enough)}))


def perf_usecs_per_op(text):
    return float(re.search(r"([0-9.]+) usecs/op", text).group(1))


def sysbench_mb_per_s(text):
    mib = float(re.search(r"\(([0-9.]+) MiB/sec\)", text).group(1))
    return mib * MIB / 1e6


def mbw_mb_per_s(text):
    # The AVG line: all bytes over all the calls' time, a rate over a stretch of
    # time as boardmark's intervals and sysbench's total are (mbw's single calls
    # alternate between fast and slow here, see bench/README.md).
    mib = float(re.search(r"^AVG\tMethod: MEMCPY.*Copy: ([0-9.]+) MiB/s", text, re.M).group(1))
    return mib * MIB / 1e6


class Pair:
    def __init__(self, name, unit, tool_name):
        self.name, self.unit, self.tool_name = name, unit, tool_name
        self.ours, self.theirs = [], []


def measure_round(args, pairs, widths, first_ours):
    size_mib = args.size // MIB
    cpus = os.cpu_count()

    def boardmark_syscall():
        rows = boardmark_rows(args, "syscall")
        pairs["syscall"].ours.append(rows[-1]["ns_per_operation"])

    def perf_syscall():
        text = run(["perf", "bench", "syscall", "basic", "-l", str(args.syscall_loops)])
        pairs["syscall"].theirs.append(perf_usecs_per_op(text) * 1000)

    def boardmark_pipe():
        for r in boardmark_rows(args, "pipe"):
            if r["report"] == "microseconds":
                key = "pipe1" if r["params"]["cpus"] == "1" else "pipe2"
                pairs[key].ours.append(r["us_per_operation"])

    def perf_pipe():
        loops = str(args.pipe_loops)
        text = run(["taskset", "-c", "0", "perf", "bench", "sched", "pipe", "-l", loops])
        pairs["pipe1"].theirs.append(perf_usecs_per_op(text))
        if cpus >= 2:
            text = run(["perf", "bench", "sched", "pipe", "-l", loops])
            pairs["pipe2"].theirs.append(perf_usecs_per_op(text))

    def boardmark_bandwidth():
        rows = boardmark_rows(args, "bandwidth", "--size", "%dm" % size_mib,
                              "--workers", "1,%d" % cpus)
        for r in rows:
            workers = int(r["params"]["workers"])
            key = "%s%d" % (r["params"]["op"], 1 if workers == 1 else 0)
            if key in pairs:
                pairs[key].ours.append(r["mb_per_sec"] * workers)

    def independent_bandwidth():
        for op in ("read", "write"):
            for key, threads in ((op + "1", 1), (op + "0", cpus)):
                if key not in pairs:
                    continue
                text = run(["sysbench", "memory", "--memory-block-size=%dM" % size_mib,
                            "--memory-total-size=%dM" % (size_mib * args.bandwidth_passes *
                                                         threads),
                            "--memory-oper=" + op, "--memory-access-mode=seq",
                            "--memory-scope=local", "--threads=%d" % threads, "run"])
                pairs[key].theirs.append(sysbench_mb_per_s(text))
        text = run(["mbw", "-q", "-n", str(args.bandwidth_passes), "-t0", str(size_mib)])
        pairs["copy1"].theirs.append(mbw_mb_per_s(text))

    def word_loops():
        figures = json.loads(run([args.word_loops, str(size_mib)]))
        for key, value in figures.items():
            widths.setdefault(key, []).append(value)

    steps = [(boardmark_syscall, perf_syscall), (boardmark_pipe, perf_pipe),
             (boardmark_bandwidth, independent_bandwidth), (word_loops, lambda: None)]
    for ours, theirs in steps:
        for step in ((ours, theirs) if first_ours else (theirs, ours)):
            step()


def relative_range(values):
    """(max - min) / median: how far apart a side's figures of the rounds lie."""
    m = statistics.median(values)
    return (max(values) - min(values)) / m if m else 0.0


def comparison_table(args, pairs):
    print("### boardmark beside the independent tools\n")
    print("%d interleaved round(s): each round runs boardmark and the tool back to back, "
          "taking turns at going first. Medians over the rounds; the ratio is the median of "
          "the rounds' own ratios (so that drift between rounds cancels), with its lowest and "
          "highest; the range is (max - min) / median of each side's figures over the rounds. "
          "boardmark: ENOUGH=%d, workers placed by QUENTAR_SCHED=BALANCED; bandwidth buffers "
          "of %d MiB per worker (tools: the same block size)." %
          (args.rounds, args.enough, args.size // MIB))
    print()
    print("| measurement | unit | boardmark | tool | tool's figure | boardmark / tool "
          "(lowest-highest) | range boardmark | range tool |")
    print("|---|---|---:|---|---:|---|---:|---:|")
    for p in pairs.values():
        if not p.ours or not p.theirs:
            continue
        ratios = [a / b for a, b in zip(p.ours, p.theirs)]
        print("| %s | %s | %.2f | %s | %.2f | %.3f (%.3f-%.3f) | %.1f%% | %.1f%% |" %
              (p.name, p.unit, statistics.median(p.ours), p.tool_name,
               statistics.median(p.theirs), statistics.median(ratios), min(ratios), max(ratios),
               100 * relative_range(p.ours), 100 * relative_range(p.theirs)))
    print()


def width_table(pairs, widths):
    if not widths:
        return
    med = {key: statistics.median(values) for key, values in widths.items()}

    def ours(key):
        return statistics.median(pairs[key].ours)

    def theirs(key):
        return statistics.median(pairs[key].theirs)

    print("### The width of the accesses (same rounds, 1 worker or thread, MB/s)\n")
    print("| loop | read | write |")
    print("|---|---:|---:|")
    print("| boardmark: sum_words / a word-store loop, as compiled | %.0f | %.0f |" %
          (ours("read1"), ours("write1")))
    print("| word_loops: plain loops over 8-byte words, vectorised by the compiler | %.0f | %.0f |"
          % (med["vector_read"], med["vector_write"]))
    print("| word_loops: one 8-byte access at a time (volatile) | %.0f | %.0f |" %
          (med["scalar_read"], med["scalar_write"]))
    print("| sysbench memory, 1 thread | %.0f | %.0f |" % (theirs("read1"), theirs("write1")))
    print()


def context_line(text):
    """The context line of boardmark's JSON Lines, or None."""
    lines = records.json_lines(io.BytesIO(text.encode()), "boardmark's output")
    return next((r for _, r in lines if r is not None and r["report"] == "context"), None)


def cache_sizes(context):
    """(name, bytes, source) of each data or unified cache level, from the
    caches of boardmark's context line (the first of a level, in CPU order)."""
    found = {}
    for cache in (context or {}).get("caches") or []:
        if cache["type"] in ("Data", "Unified") and cache["size_bytes"]:
            found.setdefault("L%d" % cache["level"], (cache["size_bytes"], "context line"))
    if not found and shutil.which("getconf"):
        for level, name in (("L1", "LEVEL1_DCACHE_SIZE"), ("L2", "LEVEL2_CACHE_SIZE"),
                            ("L3", "LEVEL3_CACHE_SIZE")):
            text = subprocess.run(["getconf", name], stdout=subprocess.PIPE,
                                  check=False).stdout.decode().strip()
            if text.isdigit() and int(text) > 0:
                found[level] = (int(text), "getconf (the context has none)")
    return [(name, size, source) for name, (size, source) in sorted(found.items())]


def latency_curve(args, pages):
    """(size, ns per load) of each row, and the context line."""
    text = run([args.boardmark, "latency", "--json", "--pages", pages,
                "--max", "%dm" % (args.latency_max // MIB)], {"ENOUGH": str(args.enough)})
    rows = json_rows(text)
    return [(r["size_bytes"], r["us_per_operation"] * 1000) for r in rows], context_line(text)


KNEE = 1.5  # a step: latency above this many times the plateau below the cache


def knee(curve, cache):
    """(index of the first size above half the cache whose latency exceeds KNEE
    times the plateau, the plateau), the plateau being the median latency of
    the sizes from an eighth to half of the cache; (None, None) when the curve
    does not reach that far."""
    plateau = [ns for size, ns in curve if cache / 8 <= size <= cache / 2]
    if not plateau:
        return None, None
    base = statistics.median(plateau)
    for i, (size, ns) in enumerate(curve):
        if size > cache / 2 and ns > KNEE * base:
            return i, base
    return None, base


def curve_tables(args):
    curves = {}
    for pages in ("default", "huge"):
        curves[pages], context = latency_curve(args, pages)
    caches = cache_sizes(context)
    print("### Latency curve against the caches\n")
    print("`boardmark latency --max %s` (two sizes per doubling), ENOUGH=%d; ns per load." %
          (records.format_size(args.latency_max), args.enough))
    print()
    print("| working set | default pages | huge pages |")
    print("|---|---:|---:|")
    for (size, ns), (_, ns_huge) in zip(curves["default"], curves["huge"]):
        print("| %s | %.2f | %.2f |" % (records.format_size(size), ns, ns_huge))
    print()
    print("A step is the first size above half the cache whose latency exceeds %.1f times the "
          "plateau (the median latency of the sizes from an eighth to half of the cache); it "
          "falls within one size step of the cache when it is the cache's size on the ladder "
          "(the first size at or above it), or the size before or after that one." % KNEE)
    print()
    print("| cache | size | source | step, default pages | step, huge pages |")
    print("|---|---:|---|---|---|")
    for name, size, source in caches:
        cells = []
        for pages in ("default", "huge"):
            curve = curves[pages]
            step, base = knee(curve, size)
            at = next((i for i, (s, _) in enumerate(curve) if s >= size), None)
            if step is None or at is None:
                cells.append("beyond the curve")
                continue
            off = step - at
            cells.append("at %s (%.1f ns, plateau %.1f ns): %s" % (
                records.format_size(curve[step][0]), curve[step][1], base,
                "within one step" if abs(off) <= 1 else "%+d steps" % off))
        print("| %s | %s | %s | %s | %s |" % (name, records.format_size(size), source, cells[0], cells[1]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--boardmark", default="build/release/tools/boardmark/boardmark")
    parser.add_argument("--word-loops", default="build/release/bench/word_loops")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--enough", type=int, default=20000)
    parser.add_argument("--size", type=int, default=32 * MIB, help="bandwidth buffer, bytes")
    parser.add_argument("--latency-max", type=int, default=256 * MIB)
    parser.add_argument("--quick", action="store_true", help="one short round, small sizes")
    args = parser.parse_args()
    args.syscall_loops, args.pipe_loops, args.bandwidth_passes = 1000000, 50000, 40
    if args.quick:
        args.rounds, args.enough = 1, 5000
        args.syscall_loops, args.pipe_loops, args.bandwidth_passes = 100000, 5000, 10
        args.latency_max = 32 * MIB
    for tool in ("perf", "sysbench", "mbw", "taskset"):
        if not shutil.which(tool):
            raise SystemExit("bench: %s is missing (apt-get install linux-perf sysbench mbw)"
                             % tool)

    cpus = os.cpu_count()
    pairs = {
        "syscall": Pair("syscall(SYS_getppid)", "ns per call", "perf bench syscall basic"),
        "pipe1": Pair("pipe round trip, one CPU", "us", "taskset -c 0 perf bench sched pipe"),
        "pipe2": Pair("pipe round trip, two CPUs", "us", "perf bench sched pipe (unpinned)"),
        "read1": Pair("read, 1 worker", "MB/s", "sysbench memory read, 1 thread"),
        "read0": Pair("read, %d workers (total)" % cpus, "MB/s",
                      "sysbench memory read, %d threads" % cpus),
        "write1": Pair("write, 1 worker", "MB/s", "sysbench memory write, 1 thread"),
        "write0": Pair("write, %d workers (total)" % cpus, "MB/s",
                       "sysbench memory write, %d threads" % cpus),
        "copy1": Pair("copy, 1 worker", "MB/s", "mbw -t0 (memcpy), AVG"),
    }
    if cpus < 2:
        for key in ("pipe2", "read0", "write0"):
            del pairs[key]
    widths = {}
    for r in range(args.rounds):
        log("round %d of %d" % (r + 1, args.rounds))
        measure_round(args, pairs, widths, first_ours=(r % 2 == 0))
    comparison_table(args, pairs)
    width_table(pairs, widths)
    log("latency curves")
    curve_tables(args)


if __name__ == "__main__":
    main()
