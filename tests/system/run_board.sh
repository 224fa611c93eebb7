#!/usr/bin/env bash
# System test on an emulated four-core ARM board (qemu-system-arm vexpress-a9)
# with Debian's armmp kernel and its PL011 serial driver.
#
#   run_board.sh WORK_DIR "SCENARIO..." PROGRAM...
#
# PROGRAMs are static armhf binaries (lapcost, board_probe, the serial tools,
# boardmark); SCENARIOs are the ones to check: lapcost, serial, ninerx,
# placement, boardmark, clock, counters. The script
# fetches and caches the kernel and busybox, packs an initramfs with the
# programs and board_init.sh as /init, boots the board under a hard timeout
# with uart_host.py at the other end of UARTs 1 to 3, and
# checks the "@@ " lines of the console log and the bytes of the UART files.
#
# Exit status: 0 all checks passed, 1 a check failed or the board did not
# finish, 77 skipped because the emulator or the packages cannot be had
# (1 instead when TIMING_REQUIRE_BOARD=1, as in CI).
#
# Environment: TIMING_BOARD_CACHE (package cache, default
# ${XDG_CACHE_HOME:-$HOME/.cache}/lib_timing/board), TIMING_BOARD_TIMEOUT
# (seconds the board may run, default 200), TIMING_PYTHON3 (the Python with
# python3-jsonschema that checks boardmark's JSON Lines and runs uart_host.py, default
# /usr/bin/python3), TIMING_REQUIRE_BOARD (1: a reason to skip fails the
# test).
set -uo pipefail

SKIP=77
here="$(cd "$(dirname "$0")" && pwd)"
work="$1"
scenarios="$2"
shift 2
programs=("$@")

board_timeout="${TIMING_BOARD_TIMEOUT:-200}"

skip() {
    [ "${TIMING_REQUIRE_BOARD:-}" = 1 ] && fail "$* (TIMING_REQUIRE_BOARD=1: the board test may not be skipped)"
    echo "SKIPPED: $*"
    exit "$SKIP"
}

fail() {
    echo "FAILED: $*"
    exit 1
}

# shellcheck source=SCRIPTDIR/board_packages.sh
. "$here/board_packages.sh"

command -v qemu-system-arm >/dev/null || skip "qemu-system-arm is not installed (apt-get install qemu-system-arm)"
command -v cpio >/dev/null || skip "cpio is not installed (apt-get install cpio)"
command -v gzip >/dev/null || skip "gzip is not installed"
fetch_packages
echo "== kernel $(cat "$cache/kernel-package" 2>/dev/null || echo '(cached)'), cache $cache"

# The initramfs: busybox, the programs, /init.
rm -rf "$work"
mkdir -p "$work/root/bin" "$work/root/proc" "$work/root/sys" "$work/root/dev" "$work/root/tmp"
cp "$cache/busybox" "$work/root/bin/busybox"
for program in "${programs[@]}"; do
    [ -x "$program" ] || fail "program $program is missing"
    cp "$program" "$work/root/bin/"
done
cp "$here/board_init.sh" "$work/root/init"
chmod 755 "$work/root/init" "$work/root/bin/"*
(cd "$work/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
    fail "could not pack the initramfs"

console="$work/console.log"
# The UARTs' sockets: short paths, as a socket's name must be.
sockets="$(mktemp -d "${TMPDIR:-/tmp}/board-uarts.XXXXXX")" || fail "could not make a directory for the UART sockets"
trap 'rm -rf "$sockets"' EXIT
echo "== booting the board (at most $board_timeout s)"
started=$SECONDS
# panic=-1 and -no-reboot: a dying init ends the emulator at once. Every
# UART's output is recorded in its file (logfile). The other ends of the
# sockets of ttyAMA1 to ttyAMA3 are uart_host.py's: it wires ttyAMA1 and
# ttyAMA2 to each other and feeds ttyAMA3 (telnet, for a break).
timeout --kill-after=5 "$board_timeout" qemu-system-arm -M vexpress-a9 -smp 4 -m 256 \
    -kernel "$cache/vmlinuz" -dtb "$cache/vexpress-v2p-ca9.dtb" -initrd "$work/initramfs.gz" \
    -append "console=ttyAMA0 rdinit=/init quiet panic=-1" \
    -display none -monitor none -audiodev none,id=n \
    -chardev "socket,id=uart1,path=$sockets/uart1,server=on,wait=off,logfile=$work/uart1.bin" \
    -chardev "socket,id=uart2,path=$sockets/uart2,server=on,wait=off,logfile=$work/uart2.bin" \
    -chardev "socket,id=uart3,path=$sockets/uart3,server=on,wait=off,telnet=on,logfile=$work/uart3.bin" \
    -serial "file:$console" -serial chardev:uart1 -serial chardev:uart2 -serial chardev:uart3 \
    -no-reboot </dev/null >"$work/qemu.log" 2>&1 &
emulator=$!
"${TIMING_PYTHON3:-/usr/bin/python3}" "$here/uart_host.py" "$sockets" "$console" \
    "$work/host_feed.txt" "$board_timeout" >"$work/uart_host.log" 2>&1 &
host=$!
wait $emulator
qemu_status=$?
wait $host
host_status=$?
echo "== board ran $((SECONDS - started)) s, emulator status $qemu_status, uart_host.py status $host_status"

show_console() {
    echo "---- console log ($console)"
    cat "$console" 2>/dev/null
    echo "---- emulator output"
    cat "$work/qemu.log"
    echo "---- uart_host.py output"
    cat "$work/uart_host.log"
    echo "----"
}
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    show_console
    fail "the board did not power off within $board_timeout s"
fi
if ! grep -q '^@@ done' "$console" 2>/dev/null; then
    show_console
    fail "the board did not finish its scenarios (emulator status $qemu_status)"
fi

# ---- checks on the host --------------------------------------------------
passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok      $what"
    else
        failed=$((failed + 1))
        echo "FAILED  $what"
    fi
}

# The result line of one scenario, without its carriage return.
line_of() {  # line_of KIND LABEL
    grep -a "^@@ $1 $2 " "$console" | head -n 1 | tr -d '\r'
}

# Value of key=value (or key="value") in a result line.
field() {  # field LINE KEY
    local line="$1" key="$2"
    case "$line" in
    *" $key=\""*)
        line="${line#* "$key"=\"}"
        printf '%s' "${line%%\"*}"
        ;;
    *" $key="*)
        line="${line#* "$key"=}"
        printf '%s' "${line%% *}"
        ;;
    esac
}

field_is() {  # field_is KIND LABEL KEY EXPECTED
    local value
    value="$(field "$(line_of "$1" "$2")" "$3")"
    [ "$value" = "$4" ] || {
        echo "        $2: $3 is [$value], expected [$4]"
        return 1
    }
}

fields_are() {  # fields_are KIND LABEL KEY EXPECTED [KEY EXPECTED]...
    local kind="$1" label="$2" ok=0
    shift 2
    while [ $# -ge 2 ]; do
        field_is "$kind" "$label" "$1" "$2" || ok=1
        shift 2
    done
    return $ok
}

fields_equal() {  # fields_equal KIND LABEL KEY1 KEY2
    local line a b
    line="$(line_of "$1" "$2")"
    a="$(field "$line" "$3")"
    b="$(field "$line" "$4")"
    [ -n "$a" ] && [ "$a" = "$b" ] || {
        echo "        $2: $3 [$a] differs from $4 [$b]"
        return 1
    }
}

field_matches() {  # field_matches KIND LABEL KEY EXTENDED_REGEX
    local value
    value="$(field "$(line_of "$1" "$2")" "$3")"
    printf '%s' "$value" | grep -Eqx -- "$4" || {
        echo "        $2: $3 is [$value], expected to match [$4]"
        return 1
    }
}

# A UART file that holds whole frames 01 02 03 04 05 06, at least one, and
# nothing else.
whole_frames_only() {  # whole_frames_only FILE
    local file="$1" size frames
    size=$(stat -c %s "$file" 2>/dev/null || echo 0)
    [ "$size" -gt 0 ] || {
        echo "        $file is empty"
        return 1
    }
    [ $((size % 6)) = 0 ] || {
        echo "        $file holds $size bytes, not whole six-byte frames"
        return 1
    }
    frames="$(od -An -v -tx1 -w6 "$file" | sed 's/^ *//' | LC_ALL=C sort -u)"
    [ "$frames" = "01 02 03 04 05 06" ] || {
        echo "        $file holds other frames:"
        printf '%s\n' "$frames" | head -n 5 | sed 's/^/          /'
        return 1
    }
    echo "        $file: $((size / 6)) frames"
}

# A value of ninerx's JSON summary of one run, as compact JSON.
rx_value() {  # rx_value LABEL KEY[.KEY]...
    grep -a "^@@rxjson $1 " "$console" | head -n 1 | tr -d '\r' | cut -d' ' -f3- |
        "${TIMING_PYTHON3:-/usr/bin/python3}" -c '
import json, sys
value = json.load(sys.stdin)
for key in sys.argv[1].split("."):
    value = value[key]
print(json.dumps(value, separators=(",", ":")))' "$2" 2>/dev/null
}

rx_are() {  # rx_are LABEL KEY EXPECTED [KEY EXPECTED]...
    local label="$1" value ok=0
    shift
    while [ $# -ge 2 ]; do
        value="$(rx_value "$label" "$1")"
        [ "$value" = "$2" ] || {
            echo "        ninerx $label: $1 is [$value], expected [$2]"
            ok=1
        }
        shift 2
    done
    return $ok
}

size_of() {  # size_of FILE
    stat -c %s "$1" 2>/dev/null || echo 0
}

check "the board has four CPUs online" field_is board "cpus_online=0-3" nproc 4

for scenario in $scenarios; do
    case "$scenario" in
    lapcost)
        check "lapcost with the calibration overrides prints exactly 0.50000000" \
            field_is run lapcost_overrides stdout '0.50000000\n'
        check "lapcost with the calibration overrides exits with 0" \
            field_is run lapcost_overrides exit 0
        check "lapcost measuring on the board prints one value" \
            field_matches run lapcost_measured stdout '-?[0-9]+\.[0-9]{8}\\n'
        check "lapcost measuring on the board exits with 0" field_is run lapcost_measured exit 0
        check "lapcost measuring on the board writes nothing on stderr" \
            field_is run lapcost_measured stderr ''
        ;;
    serial)
        uart=1
        for tool in ninetx_soft ninetx_flag_a ninetx_flag_b; do
            case "$tool" in
            # ninetx_soft alternates between mark and space parity while it runs.
            ninetx_soft) cflags='0x40001b30|0x40001930' ;;
            ninetx_flag_a) cflags='0x41801930' ;;
            ninetx_flag_b) cflags='0x02001830' ;;
            esac
            check "$tool exits with 0 after SIGINT" field_is serial $tool exit 0
            check "$tool runs the line raw at 115200 with its control bits" \
                field_matches serial $tool running_cflag "$cflags"
            check "$tool sets both speeds to 115200" field_is serial $tool running_ospeed 115200
            check "$tool clears the input, output and local modes" \
                fields_are serial $tool running_iflag 0x0 running_oflag 0x0 running_lflag 0x0
            check "$tool turns on RS-485 with RTS on send" field_is serial $tool rs485_flags 3
            check "$tool puts back the line settings it found" field_is serial $tool restored yes
            check "$tool prints nothing while sending goes well" \
                fields_are serial $tool stderr '' stdout ''
            # The emulated UART hands its backend the data bits only: the ninth
            # (parity) bit the tools set up cannot be seen here, only the bytes.
            check "$tool on ttyAMA$uart sends whole frames 01..06 and nothing else" \
                whole_frames_only "$work/uart$uart.bin"
            check "$tool with a BAUD that is no rate says so and exits with 255" \
                fields_are serial ${tool}_bad_baud stderr 'invalid baud rate: fast\n' exit 255
            check "$tool with a BAUD that is no rate leaves the line as it was" \
                fields_equal serial ${tool}_bad_baud before running
            check "$tool on a pseudo-terminal reports the refused RS-485 request and exits with 255" \
                fields_are serial ${tool}_pty stderr 'ioctl() failed: Inappropriate ioctl for device\n' exit 255
            check "$tool on a pseudo-terminal puts back the line settings it found" \
                field_is serial ${tool}_pty restored yes
            check "$tool with a missing device says so and exits with 255" \
                fields_are run ${tool}_missing_device stderr 'could not open /dev/ttyNONE\n' exit 255
            check "$tool without arguments prints its usage line and exits with 255" \
                fields_are run ${tool}_no_arguments stdout "usage: /bin/$tool DEVICE BAUD" exit 255
            check "$tool with three arguments prints its usage line and exits with 255" \
                fields_are run ${tool}_three_arguments stdout "usage: /bin/$tool DEVICE BAUD" exit 255
            uart=$((uart + 1))
        done
        ;;
    ninerx)
        # ttyAMA1 and ttyAMA2 are wired to each other. The emulated PL011
        # carries the eight data bits only: the ninth (parity) bit is lost on
        # the way, so the address byte 01 arrives as data, no frame can start
        # and ninerx rightly reports 1. What is verified here: every byte one
        # UART sent arrives at the other once, as data; the counters of the
        # real driver agree; the driver applies ninerx's line settings.
        for pair in "ninetx_soft 1" "ninetx_flag_a 2"; do
            read -r label uart <<<"$pair"
            sent=$(size_of "$work/uart$uart.bin")
            check "ninerx receiving what $label sends ends after 4 s and reports no frame, with 1" \
                fields_are ninerx $label exit 1 stderr_bytes 0
            check "ninerx receiving what $label sends: no frame and not intact" \
                rx_are $label stopped_by '"seconds"' frames 0 intact false
            check "ninerx counts each of the $sent bytes $label sent, all as data" \
                rx_are $label characters "$sent" skipped_at_start "$sent" marked 0 ambiguous 0 malformed 0
            check "ninerx's $label run: the UART counted every byte and no error" \
                rx_are $label counters.rx "$sent" counters.frame 0 counters.parity 0 counters.overrun 0 \
                    counters.brk 0 counters.buf_overrun 0
            check "ninerx's $label run: the driver applied every setting as asked" \
                rx_are $label applied '[]' rs485_read_back true
        done
        # The host fed ttyAMA3 data bytes (one of them FF, which the line
        # discipline doubles) and one break (FF 00 00, an address 00 to the
        # decoder: ambiguous).
        fed="$(cat "$work/host_feed.txt" 2>/dev/null)"
        bytes=$(field " $fed" bytes)
        check "the host fed ttyAMA3 data bytes and one break" \
            test -n "$bytes" -a "$(field " $fed" breaks)" = 1
        check "ninerx receiving the host's bytes reports the break as an error, with 1" \
            fields_are ninerx host_feed exit 1 stderr_bytes 0
        check "ninerx counts each byte the host sent as data (the FF once) and the break as ambiguous" \
            rx_are host_feed characters $((bytes + 1)) skipped_at_start "$bytes" marked 1 \
                ambiguous 1 malformed 0 frames 0 intact false
        check "ninerx's host_feed run: the UART counted every byte and the break, no other error" \
            rx_are host_feed counters.rx $((bytes + 1)) counters.brk 1 counters.frame 0 \
                counters.parity 0 counters.overrun 0 counters.buf_overrun 0
        check "ninerx shows the RS-485 delay the serial core cut to 100 ms" \
            rx_are host_feed applied '[{"setting":"rs485.delay_rts_before_send","asked":150,"applied":100}]'
        # The PL011 driver has no nine-bit addressing.
        for label in ninerx_addrb ninetx_addrb; do
            check "$label: the driver's refusal of nine-bit addressing ends the run with 255" \
                field_is run $label exit 255
            check "$label says that the driver refused nine-bit addressing" \
                field_matches run $label stderr 'nine-bit addressing refused by the driver: .*\\n'
        done
        ;;
    placement)
        # label, CPUs the probe may use, CPUs of workers 0..3
        for expected in "balanced 0+1+2+3 0,1,2,3" "balanced_spread 0+1+2+3 0,2,1,3" \
            "custom 0+1+2+3 3,1,3,1" "single 0+1+2+3 0,0,0,0" "balanced_on_2_3 2+3 2,3,2,3"; do
            read -r label allowed cpus <<<"$expected"
            check "placement $label: the probe runs on CPUs $allowed" \
                field_is placement $label allowed "$allowed"
            check "placement $label: every body call of workers 0..3 ran on CPUs $cpus" \
                fields_are placement $label workers "$cpus" stray_calls 0
            check "placement $label: every worker's body ran" \
                field_matches placement $label body_calls '[1-9][0-9]*(,[1-9][0-9]*){3}'
            check "placement $label: the merged median is published (elapsed time)" \
                field_matches placement $label median_us '[1-9][0-9]*'
            check "placement $label: the merged median is published (iterations)" \
                field_matches placement $label median_iterations '[1-9][0-9]*'
        done
        ;;
    boardmark)
        check "boardmark all --quick --json exits with 0" field_is boardmark all exit 0
        check "boardmark all --quick --json writes nothing on stderr" \
            field_is boardmark all stderr_bytes 0
        grep -a '^@@json ' "$console" | sed 's/^@@json //' | tr -d '\r' >"$work/boardmark.jsonl"
        check "boardmark's JSON Lines validate against the schema, every measurement with its rows on 4 CPUs" \
            "${TIMING_PYTHON3:-/usr/bin/python3}" "$here/../boardmark/check_boardmark_json.py" \
            --schema "$here/../../lib/timing/report.schema.json" --cpus 4 --input "$work/boardmark.jsonl"
        ;;
    clock)
        check "boardmark clock --quick --json exits with 0 and writes nothing but its warnings on stderr" \
            fields_are boardmark clock exit 0 other_stderr_lines 0
        grep -a '^@@clockjson ' "$console" | sed 's/^@@clockjson //' | tr -d '\r' >"$work/clock.jsonl"
        check "boardmark clock: an idle and an after-load clock above 0 MHz per CPU of the board, the JSON valid" \
            "${TIMING_PYTHON3:-/usr/bin/python3}" "$here/check_board_json.py" clock \
            --schema "$here/../../lib/timing/report.schema.json" \
            --cpus "$(field "$(line_of boardmark clock)" cpus)" --input "$work/clock.jsonl"
        ;;
    counters)
        # Whether the emulated Cortex-A9 offers its PMU depends on the
        # emulator and the kernel: the check accepts either, and says which.
        check "boardmark syscall with TIMING_COUNTERS=hardware exits with 0 and writes nothing on stderr" \
            fields_are boardmark counters exit 0 stderr_bytes 0
        grep -a '^@@countersjson ' "$console" | sed 's/^@@countersjson //' | tr -d '\r' >"$work/counters.jsonl"
        check "hardware counters on the board: each counted (cycles, instructions above 0) or refused with its reason" \
            "${TIMING_PYTHON3:-/usr/bin/python3}" "$here/check_board_json.py" counters \
            --schema "$here/../../lib/timing/report.schema.json" --input "$work/counters.jsonl"
        # What the PMU does with a cycle counter opened directly. Under
        # qemu-system-arm 7.2 and the armmp kernel: user mode only is refused
        # with EINVAL (the Cortex-A9's PMU cannot exclude the kernel), in every
        # mode it opens but counts 0 (the emulator keeps the registers only).
        pmu="$(line_of pmu cycles)"
        echo "        cycle counter opened by the probe: ${pmu#@@ pmu cycles }"
        check "the probe says whether the PMU opens and counts a cycle counter" \
            grep -Eq '^@@ pmu cycles user_only_errno=[0-9]+ all_modes_errno=[0-9]+ all_modes_count=-?[0-9]+$' <<<"$pmu"
        ;;
    *)
        fail "unknown scenario $scenario"
        ;;
    esac
done

echo "== board checks: $passed ok, $failed failed (whole run $SECONDS s)"
if [ "$failed" != 0 ]; then
    show_console
    exit 1
fi
exit 0
