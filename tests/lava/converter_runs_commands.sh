#!/usr/bin/env bash
# timing-lava-cases runs lava-test-set and lava-test-case from the PATH, as
# LAVA's test shell provides them: every command in order, also after one
# that failed, and then exits with 1; with every command done, 0.
#
#   converter_runs_commands.sh WORK_DIR "EMULATOR" TIMING_LAVA_CASES
set -uo pipefail
work="$1"
emulator="$2"
converter="$3"
rm -rf "$work"
mkdir -p "$work/bin"
# Stand-ins for LAVA's commands: each records its arguments; a case named
# nanoseconds_broken fails, as a lava-test-case that cannot write its
# result would.
for command in lava-test-set lava-test-case; do
    cat >"$work/bin/$command" <<EOS
#!/bin/sh
echo "$command \$*" >>"$work/commands.txt"
[ "\$1" != nanoseconds_broken ]
EOS
    chmod 755 "$work/bin/$command"
done
printf '%s\n' \
    '{"report":"context","warnings":[]}' \
    '{"report":"nanoseconds","label":"broken","ns_per_operation":5}' \
    '{"report":"nanoseconds","ns_per_operation":7,"params":{"measurement":"syscall","op":"getppid"}}' \
    >"$work/run.jsonl"
cat >"$work/expected.txt" <<EOS
lava-test-case nanoseconds_broken --result pass --measurement 5 --units ns
lava-test-set start syscall
lava-test-case nanoseconds_op-getppid --result pass --measurement 7 --units ns
lava-test-set stop
lava-test-case syscall-warnings --result pass --measurement 0 --units warnings
EOS

failed=0
# The emulator by its path: one check empties the PATH.
if [ -n "$emulator" ]; then
    read -r first rest <<<"$emulator"
    emulator="$(command -v "$first") $rest"
fi
# A case name the stand-in refuses: every command still runs, exit status 1.
# shellcheck disable=SC2086 # the emulator is words
PATH="$work/bin:$PATH" $emulator "$converter" --run syscall "$work/run.jsonl" >"$work/out.txt" 2>"$work/err.txt"
status=$?
if [ "$status" != 1 ] || ! grep -q "lava-test-case nanoseconds_broken failed" "$work/err.txt"; then
    echo "FAILED  a failing lava-test-case: exit status $status, expected 1 and a message"
    cat "$work/err.txt"
    failed=1
fi
if ! diff -u "$work/expected.txt" "$work/commands.txt"; then
    echo "FAILED  the commands run are not the expected ones, in order"
    failed=1
fi
# --print writes the same commands instead of running them.
# shellcheck disable=SC2086
$emulator "$converter" --print --run syscall - <"$work/run.jsonl" >"$work/printed.txt"
if ! diff -u "$work/expected.txt" "$work/printed.txt"; then
    echo "FAILED  --print does not write the commands it would run"
    failed=1
fi
# Without LAVA's commands on the PATH: each one is named, exit status 1.
# shellcheck disable=SC2086
PATH=/nonexistent $emulator "$converter" "$work/run.jsonl" 2>"$work/missing.txt"
status=$?
if [ "$status" != 1 ] || [ "$(grep -c 'cannot run lava-test-' "$work/missing.txt")" != 5 ]; then
    echo "FAILED  without lava-test-case: exit status $status, messages:"
    cat "$work/missing.txt"
    failed=1
fi
[ "$failed" = 0 ] && echo "ok      timing-lava-cases runs every command, reports the ones that failed"
exit "$failed"
