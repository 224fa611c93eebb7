#!/usr/bin/env bash
# System test of the LAVA test definition: the real dispatcher (lava-run, no
# server) runs the example job on the emulated vexpress-a9 board, and the
# host checks its results, and the JSON Lines pulled back from its log.
#
#   run_lava.sh SOURCE_DIR WORK_DIR BOARDMARK TIMING_LAVA_CASES
#
# BOARDMARK and TIMING_LAVA_CASES are static armhf programs. The kernel and
# busybox come from the cache of the board test, fetched as that test does
# (tests/system/board_packages.sh) when it is empty; lava-server's device types
# (qemu.jinja2) are unpacked from its package into that cache.
#
# Exit status: 0 all checks passed, 1 a check failed, 77 skipped because the
# dispatcher, the emulator, root or the packages cannot be had (1 instead
# when TIMING_REQUIRE_BOARD=1, as in CI).
#
# Environment: TIMING_BOARD_CACHE (the board test's package cache),
# TIMING_LAVA_TIMEOUT (seconds one job may run, default 100), TIMING_PYTHON3
# (the Python with jinja2, yaml, jsonschema and LAVA's lava_common, default
# /usr/bin/python3), TIMING_REQUIRE_BOARD (1: a reason to skip fails).
set -uo pipefail

SKIP=77
source_dir="$1"
work="$2"
boardmark="$3"
converter="$4"
python="${TIMING_PYTHON3:-/usr/bin/python3}"
here="$(cd "$(dirname "$0")" && pwd)"

skip() {
    [ "${TIMING_REQUIRE_BOARD:-}" = 1 ] && fail "$* (TIMING_REQUIRE_BOARD=1: the LAVA test may not be skipped)"
    echo "SKIPPED: $*"
    exit "$SKIP"
}

fail() {
    echo "FAILED: $*"
    exit 1
}

# The board test's cache: armmp kernel, device tree and busybox.
# shellcheck source=SCRIPTDIR/../system/board_packages.sh
. "$here/../system/board_packages.sh"

# lava-server's device types, unpacked from its package (never installed).
fetch_device_types() {
    device_types="$cache/lava-server/device-types"
    [ -s "$device_types/qemu.jinja2" ] && [ -s "$device_types/base.jinja2" ] && return 0
    echo "== downloading lava-server for its device types"
    download_packages lava-server || skip "could not download lava-server for qemu.jinja2"
    (
        set -e
        cd "$download"
        mkdir root
        dpkg-deb --fsys-tarfile lava-server_*.deb | tar -x -C root ./usr/share/lava-server/device-types
        mkdir -p "$cache/lava-server"
        rm -rf "$device_types"
        mv root/usr/share/lava-server/device-types "$device_types"
    ) || { rm -rf "$download"; fail "could not unpack lava-server's device types into $cache"; }
    rm -rf "$download"
}

command -v lava-run >/dev/null || skip "lava-run is not installed (apt-get install --no-install-recommends lava-dispatcher)"
# lava-run must run as root: as this user, or through sudo without a password.
as_root=()
if [ "$(id -u)" != 0 ]; then
    sudo -n true 2>/dev/null || skip "lava-run must run as root (or through sudo without a password)"
    as_root=(sudo -n)
fi
for tool in qemu-system-arm cpio gzip apt-get dpkg-deb; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
"$python" -c "import jinja2, yaml, jsonschema, lava_common" 2>/dev/null ||
    skip "$python lacks jinja2, yaml, jsonschema or lava_common (lava-dispatcher)"
fetch_packages
fetch_device_types

"${as_root[@]}" rm -rf "$work"  # lava-run's output of an earlier run is root's
mkdir -p "$work/images" "$work/root/bin" "$work/root/proc" "$work/root/sys" "$work/root/dev" "$work/root/tmp"
cp "$cache/vmlinuz" "$cache/vexpress-v2p-ca9.dtb" "$work/images/"
cp "$cache/busybox" "$boardmark" "$converter" "$work/root/bin/" || fail "a program is missing"
cp "$source_dir/lava/examples/initramfs-init" "$work/root/init"
chmod 755 "$work/root/init" "$work/root/bin/"*
(cd "$work/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/images/initramfs.cpio.gz" ||
    fail "could not pack the initramfs"
"$python" "$here/make_job.py" "$source_dir" "$device_types" "$work/images" "$work" ||
    fail "could not write the device configuration and the job"

# Two jobs, so that the files of two jobs are compared and plotted. Their ids
# name lava-run's directories under /var/lib/lava/dispatcher/tmp: made from
# this process's id, so that two runs of this test do not share them.
jobs=("$(($$ * 2))" "$(($$ * 2 + 1))")

echo "== lava-run --validate"
"${as_root[@]}" lava-run --validate --job-id "${jobs[0]}" --output-dir "$work/validate" --device "$work/device.yaml" \
    --dispatcher "$work/dispatcher.yaml" "$work/job.yaml" >"$work/validate.log" 2>&1 ||
    { tail -n 40 "$work/validate.log"; fail "LAVA refuses the job"; }

status=0
for job in "${jobs[@]}"; do
    echo "== lava-run job $job (at most ${TIMING_LAVA_TIMEOUT:-100} s)"
    started=$SECONDS
    "${as_root[@]}" timeout --kill-after=10 "${TIMING_LAVA_TIMEOUT:-100}" lava-run --job-id "$job" \
        --output-dir "$work/output-$job" --device "$work/device.yaml" \
        --dispatcher "$work/dispatcher.yaml" "$work/job.yaml" >"$work/lava-$job.out" 2>"$work/job-$job.log"
    job_status=$?
    echo "== job $job ran $((SECONDS - started)) s, lava-run status $job_status"
    [ "$job_status" = 0 ] || { tail -n 30 "$work/job-$job.log"; status=1; }
    mv "$work/uart1.jsonl" "$work/uart1-$job.jsonl" 2>/dev/null
done
[ "$status" = 0 ] || fail "lava-run did not finish a job"

"$python" "$here/check_lava_run.py" --source "$source_dir" --work "$work" --jobs "${jobs[@]}"
