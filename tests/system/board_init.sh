#!/bin/busybox sh
# shellcheck shell=dash
# /init of the system-test board: runs every scenario whose programs were
# packed, prints the observations as "@@ " lines on the console and powers
# the board off. The host judges the lines (run_board.sh).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp
# Only the scenario lines on the console: kernel messages could split them.
echo 1 >/proc/sys/kernel/printk

echo "@@ board cpus_online=$(cat /sys/devices/system/cpu/online) nproc=$(nproc)"

# The calibration overrides make a run measure nothing, so its output is exact.
OVERRIDES="ENOUGH=20000 TIMING_O=3 LAPCOST=0.5"

if [ -x /bin/lapcost ]; then
    env $OVERRIDES board_probe run lapcost_overrides /bin/lapcost
    # A real measurement on the board: a short enough interval keeps it quick.
    env ENOUGH=5000 board_probe run lapcost_measured /bin/lapcost
fi

if [ -x /bin/boardmark ]; then
    # Every measurement on four CPUs, as JSON Lines: the host validates them.
    boardmark all --quick --json >/tmp/boardmark.jsonl 2>/tmp/boardmark.err
    echo "@@ boardmark all exit=$? stderr_bytes=$(wc -c </tmp/boardmark.err)"
    head -c 400 /tmp/boardmark.err
    while IFS= read -r line; do printf '@@json %s\n' "$line"; done </tmp/boardmark.jsonl

    # The real clock of one CPU of each cpufreq policy (of each CPU without
    # cpufreq), idle and after load; its warnings are the only stderr allowed.
    cpus=""
    for policy in /sys/devices/system/cpu/cpufreq/policy*/related_cpus; do
        [ -r "$policy" ] && cpus="$cpus${cpus:+,}$(cut -d" " -f1 "$policy")"
    done
    started=$(cut -d" " -f1 /proc/uptime)
    boardmark clock --quick --json >/tmp/clock.jsonl 2>/tmp/clock.err
    echo "@@ boardmark clock exit=$? other_stderr_lines=$(grep -vc '^boardmark: warning: CPU ' /tmp/clock.err) cpus=${cpus:-$(cat /sys/devices/system/cpu/online)} started_s=$started ended_s=$(cut -d" " -f1 /proc/uptime)"
    head -c 400 /tmp/clock.err
    while IFS= read -r line; do printf '@@clockjson %s\n' "$line"; done </tmp/clock.jsonl

    # Hardware counters asked for: counted by the PMU or refused with reasons.
    TIMING_COUNTERS=hardware boardmark syscall --quick --json >/tmp/counters.jsonl 2>/tmp/counters.err
    echo "@@ boardmark counters exit=$? stderr_bytes=$(wc -c </tmp/counters.err) ended_s=$(cut -d" " -f1 /proc/uptime)"
    head -c 400 /tmp/counters.err
    while IFS= read -r line; do printf '@@countersjson %s\n' "$line"; done </tmp/counters.jsonl
    # The same cycle counter opened directly, with and without mode exclusion.
    board_probe pmu
fi

# receiving DEVICE: waits (at most 5 s) until ninerx has set DEVICE up to
# receive: its parity marking is on.
receiving() {
    tries=0
    until stty -F "$1" -a 2>/dev/null | grep -Eq '(^| )parmrk( |$)'; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || return 1
        usleep 50000
    done
    usleep 200000  # the rest of its set-up: RS-485, the first counters
}

# with_receiver LABEL DEVICE [NINERX_OPTION...] -- COMMAND...: runs COMMAND
# while ninerx receives on DEVICE for 4 s, then prints ninerx's exit status
# and its JSON summary. Without ninerx it runs COMMAND alone.
with_receiver() {
    label=$1 device=$2
    shift 2
    options=""
    while [ "$1" != "--" ]; do
        options="$options $1"
        shift
    done
    shift
    if [ ! -x /bin/ninerx ]; then
        "$@"
        return
    fi
    # shellcheck disable=SC2086  # the options are separate words
    ninerx "$device" 115200 --seconds 4 --json $options >/tmp/ninerx.json 2>/tmp/ninerx.err &
    receiver=$!
    receiving "$device" || echo "@@ ninerx $label error=not_receiving"
    "$@"
    wait $receiver
    echo "@@ ninerx $label exit=$? stderr_bytes=$(wc -c </tmp/ninerx.err)"
    head -c 400 /tmp/ninerx.err
    printf '@@rxjson %s %s\n' "$label" "$(cat /tmp/ninerx.json)"
}

if [ -x /bin/ninetx_soft ]; then
    # One tool per UART, each UART recorded in its own file on the host, so
    # that every byte on a line is known to come from one tool. ttyAMA1 and
    # ttyAMA2 are wired to each other: ninerx receives on the other one what
    # each of their tools sends.
    with_receiver ninetx_soft /dev/ttyAMA2 -- board_probe serial ninetx_soft /bin/ninetx_soft /dev/ttyAMA1 115200 1000
    with_receiver ninetx_flag_a /dev/ttyAMA1 -- board_probe serial ninetx_flag_a /bin/ninetx_flag_a /dev/ttyAMA2 115200 1000
    board_probe serial ninetx_flag_b /bin/ninetx_flag_b /dev/ttyAMA3 115200 1000
    # A rate that is no number is refused before the device is touched.
    board_probe serial ninetx_soft_bad_baud /bin/ninetx_soft /dev/ttyAMA1 fast 2000
    board_probe serial ninetx_flag_a_bad_baud /bin/ninetx_flag_a /dev/ttyAMA2 fast 2000
    board_probe serial ninetx_flag_b_bad_baud /bin/ninetx_flag_b /dev/ttyAMA3 fast 2000
    mkdir -p /dev/pts
    mount -t devpts devpts /dev/pts
    for tool in ninetx_soft ninetx_flag_a ninetx_flag_b; do
        board_probe pty ${tool}_pty /bin/$tool 115200
        board_probe run ${tool}_missing_device /bin/$tool /dev/ttyNONE 115200
        board_probe run ${tool}_no_arguments /bin/$tool
        board_probe run ${tool}_three_arguments /bin/$tool /dev/ttyAMA1 115200 extra
    done
fi

if [ -x /bin/ninerx ]; then
    # The host feeds ttyAMA3 once this line is on the console; an RS-485
    # delay beyond what the serial core allows shows as applied differently.
    with_receiver host_feed /dev/ttyAMA3 --delay-before 150 -- echo "@@ host_feed ready"
    # The PL011 driver has no nine-bit addressing.
    board_probe run ninerx_addrb /bin/ninerx /dev/ttyAMA1 115200 --addrb 5 --seconds 1
    board_probe run ninetx_addrb /bin/ninetx_addrb /dev/ttyAMA1 115200 5
fi

# Four workers through the driver, each pinned by the policy; the probe
# reports the CPUs every worker's body calls ran on.
# Short calibration overrides: the driver measures, the calibration does not.
export ENOUGH=5000 TIMING_O=0 LAPCOST=0
board_probe placement balanced BALANCED all
board_probe placement balanced_spread BALANCED_SPREAD all
board_probe placement custom "CUSTOM 3 1" all
board_probe placement single SINGLE all
# As under "taskset -c 2,3": positions count within the allowed CPUs.
board_probe placement balanced_on_2_3 BALANCED 2,3

echo "@@ done uptime_s=$(cut -d" " -f1 /proc/uptime)"
sync
poweroff -f
