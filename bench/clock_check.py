#!/usr/bin/python3
"""boardmark clock against chains of other instructions on the same CPU.

boardmark clock assumes one dependent add per cycle. clock_chains times the
same number of dependent add, 64-bit multiply and CRC32 instructions (1, 3
and 3 cycles) on one CPU; when all three give the same MHz, the chains count
the core's cycles and boardmark's figure is the clock. Each round runs
`boardmark clock --quick --json` and then clock_chains on every CPU, so a
shared machine's drift hits both alike. Markdown on standard output,
progress on standard error.
"""
import argparse
import statistics
import sys

sys.dont_write_bytecode = True
from boardmark_compare import json_rows, log, run  # noqa: E402

WAITED_LIMIT = 2.0  # percent of a chains round spent waiting for the CPU


def boardmark_rows(boardmark):
    """(cpu, state) -> (MHz, disturbed) from one boardmark clock run."""
    rows = {}
    for record in json_rows(run([boardmark, "clock", "--quick", "--json"])):
        params = record["params"]
        disturbed = bool((record.get("conditions") or {}).get("disturbed"))
        rows[(int(params["cpu"]), params["op"])] = (float(params["measured_mhz"]), disturbed)
    return rows


def chain_medians(chains, cpu, repeats):
    """name -> median MHz over the repeats of clock_chains on the CPU that
    did not wait for their CPU; None when every repeat waited."""
    figures = {}
    for line in run([chains, str(cpu), str(repeats)]).splitlines():
        words = line.split()
        pairs = dict(zip(words[0::2], (float(w) for w in words[1::2])))
        if pairs.pop("waited") > WAITED_LIMIT:
            continue
        for name, mhz in pairs.items():
            figures.setdefault(name, []).append(mhz)
    if not figures:
        return None
    return {name: statistics.median(values) for name, values in figures.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--boardmark", required=True)
    parser.add_argument("--chains", required=True, help="the clock_chains program")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    print("| round | CPU | boardmark idle | after load | add chain | imul chain x 3 "
          "| crc32 chain x 3 | boardmark idle against imul |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|")
    ratios = []
    for round_number in range(1, args.rounds + 1):
        log("round %d of %d" % (round_number, args.rounds))
        rows = boardmark_rows(args.boardmark)
        for cpu in sorted({cpu for cpu, _ in rows}):
            chains = chain_medians(args.chains, cpu, 5)
            idle, idle_disturbed = rows[(cpu, "idle")]
            after, after_disturbed = rows.get((cpu, "after_load"), (float("nan"), False))
            if chains is None:
                print("| %d | %d | %.0f%s | %.0f%s | waited | waited | waited | n/a |" % (
                    round_number, cpu, idle, " !" if idle_disturbed else "", after,
                    " !" if after_disturbed else ""), flush=True)
                continue
            ratio = idle / chains["imul"]
            if not idle_disturbed:
                ratios.append(ratio)
            print("| %d | %d | %.0f%s | %.0f%s | %.0f | %.0f | %.0f | %+.1f%% |" % (
                round_number, cpu, idle, " !" if idle_disturbed else "", after,
                " !" if after_disturbed else "", chains["add"], chains["imul"], chains["crc32"],
                100.0 * (ratio - 1.0)), flush=True)
    print()
    if ratios:
        print("Undisturbed idle rows: %d; boardmark against the imul chain, median %+.1f%%, "
              "from %+.1f%% to %+.1f%%. MHz; ! marks a row boardmark found disturbed; the "
              "chains' figures are medians of the repeats that waited less than %.0f %% of "
              "their time for the CPU." % (
                  len(ratios), 100.0 * (statistics.median(ratios) - 1.0),
                  100.0 * (min(ratios) - 1.0), 100.0 * (max(ratios) - 1.0), WAITED_LIMIT))
    else:
        print("Every idle row was disturbed; no comparison. MHz; ! marks a disturbed row.")


if __name__ == "__main__":
    main()
