#!/usr/bin/env bash
# Builds the bench in the release preset and runs it; prints the machine's
# description and the bench's Markdown tables on standard output (progress
# goes to standard error). Arguments go to bench_quality, e.g. --quick,
# --runs 10, --parts 1,3.
#
#   bench/run.sh boardmark [--quick] [--rounds N] ...
# runs the other part instead: boardmark beside perf bench, sysbench and mbw,
# and its latency curve against the caches (bench/boardmark_compare.py, whose
# options follow).
#
#   bench/run.sh clock [--rounds N]
# checks boardmark clock against chains of other instructions on the same CPUs
# (bench/clock_check.py, x86-64 only).
set -euo pipefail
cd "$(dirname "$0")/.."

part=quality
if [ "${1:-}" = boardmark ] || [ "${1:-}" = clock ]; then
  part=$1
  shift
fi

cmake --preset release -DTIMING_BUILD_BENCH=ON >/dev/null
if [ "$part" = boardmark ]; then
  cmake --build --preset release --target boardmark word_loops >/dev/null
elif [ "$part" = clock ]; then
  cmake --build --preset release --target boardmark clock_chains >/dev/null
else
  cmake --build --preset release --target bench_quality lapcost_tally >/dev/null
fi

cpu_model=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//' || true)
[ -n "$cpu_model" ] || cpu_model=$(uname -m)
echo "Machine: $(nproc) CPU(s), ${cpu_model}; $(uname -sr); load average at start:" \
  "$(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M UTC')."
echo
if [ "$part" = boardmark ]; then
  exec /usr/bin/python3 bench/boardmark_compare.py --boardmark build/release/tools/boardmark/boardmark \
    --word-loops build/release/bench/word_loops "$@"
fi
if [ "$part" = clock ]; then
  exec /usr/bin/python3 bench/clock_check.py --boardmark build/release/tools/boardmark/boardmark \
    --chains build/release/bench/clock_chains "$@"
fi
exec build/release/bench/bench_quality "$@"
