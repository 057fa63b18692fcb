#!/usr/bin/env bash
# The entry point with no argument, under Wine:
#  - typed by its short name (argv[0] "talvex.exe") it prints the usage text
#    and ends with exit code 0 without going near the service manager;
#  - run by its full path it also prints the dispatcher notice and hands its
#    thread to the service dispatcher, which fails outside the service manager
#    (1063); the error event 0xC0000006 "StartServiceCtrlDispatcher failed."
#    then appears under the executable's path, and the exit code is still 0;
#  - "-test" without a service name is refused with the usage text and exit
#    code 1.
# Wine keeps no event log: with WINEDEBUG=+eventlog it prints each event on
# its debug output (see e2e_event_reports in lib.sh).
#
# Usage: bash tests/e2e/dispatcher.sh <directory holding talvex.exe>
set -uo pipefail

source "$(dirname "$0")/lib.sh"
e2e_init "$1"

s=$E2E_SCRATCH
e2e_usage_text >"$s/usage.txt"
e2e_crlf "$s/usage.txt" "$s/usage.crlf"

# --- typed by its short name ------------------------------------------------------

WINEDEBUG=+eventlog e2e_run_short "$s/short.out" "$s/short.err"
rc=$?
e2e_expect_rc "short name, no argument" 0 "$rc"
e2e_expect_same "short name, no argument: usage text" "$s/usage.crlf" "$s/short.out"
if [ -n "$(e2e_event_reports "$s/short.err")" ]; then
    e2e_fail "short name, no argument: an event was written"
    e2e_event_reports "$s/short.err"
else
    e2e_pass "short name, no argument: no event"
fi

# --- by its full path: the dispatcher path ----------------------------------------

WINEDEBUG=+eventlog e2e_run_full "$s/full.out" "$s/full.err"
rc=$?
e2e_expect_rc "full path, no argument" 0 "$rc"
{
    cat "$s/usage.txt"
    printf '\nStartServiceCtrlDispatcher being called.\n'
    printf 'This may take several seconds.  Please wait.\n'
} >"$s/dispatch.txt"
e2e_crlf "$s/dispatch.txt" "$s/dispatch.crlf"
e2e_expect_same "full path, no argument: usage text and dispatcher notice" "$s/dispatch.crlf" "$s/full.out"

mapfile -t reports < <(e2e_event_reports "$s/full.err")
if [ "${#reports[@]}" != 1 ]; then
    e2e_fail "full path: expected one event, saw ${#reports[@]}"
    printf '%s\n' "${reports[@]}"
else
    # Type 1 (error), category 0, id 0xc0000006, no user SID, two strings.
    case "${reports[0]}" in
        *",0x0001,0x0000,0xc0000006,0000000000000000,0x0002,"*)
            e2e_pass "full path: error event 0xc0000006 with two strings" ;;
        *) e2e_fail "full path: event arguments ${reports[0]}" ;;
    esac
fi

mapfile -t strings < <(e2e_event_strings "$s/full.err")
expected_source=$(e2e_literal "$E2E_EXE_WIN")
expected_text=$(e2e_literal "StartServiceCtrlDispatcher failed.")
if [ "${#strings[@]}" = 2 ] && [ "${strings[0]}" = "$expected_source" ] &&
    [ "${strings[1]}" = "$expected_text" ]; then
    e2e_pass "full path: event strings $expected_source and $expected_text"
else
    e2e_fail "full path: event strings differ; expected $expected_source and $expected_text"
    printf '  got: %s\n' "${strings[@]}"
fi

mapfile -t sources < <(e2e_event_sources "$s/full.err")
expected_source=$(e2e_literal_a "$E2E_EXE_WIN")
if [ "${#sources[@]}" = 1 ] && [ "${sources[0]}" = "$expected_source" ]; then
    e2e_pass "full path: event source $expected_source"
else
    e2e_fail "full path: event source differs; expected $expected_source"
    printf '  got: %s\n' "${sources[@]}"
fi

# --- by its full path in other letter case ----------------------------------------

upper=$(printf '%s' "$E2E_EXE_WIN" | tr '[:lower:]' '[:upper:]')
WINEDEBUG=+eventlog wine cmd /c "$upper" >"$s/upper.out" 2>"$s/upper.err"
rc=$?
e2e_expect_rc "full path in capitals" 0 "$rc"
e2e_expect_same "full path in capitals: the dispatcher path is taken" "$s/dispatch.crlf" "$s/upper.out"
mapfile -t strings < <(e2e_event_strings "$s/upper.err")
expected_source=$(e2e_literal "$upper")
if [ "${#strings[@]}" = 2 ] && [ "${strings[0]}" = "$expected_source" ]; then
    e2e_pass "full path in capitals: event under $expected_source"
else
    e2e_fail "full path in capitals: event strings differ; expected $expected_source first"
    printf '  got: %s\n' "${strings[@]}"
fi

# --- -test without a service name --------------------------------------------------

e2e_run_short "$s/test.out" "$s/test.err" -test
rc=$?
e2e_expect_rc "-test without a name" 1 "$rc"
e2e_expect_same "-test without a name: usage text" "$s/usage.crlf" "$s/test.out"

e2e_finish
