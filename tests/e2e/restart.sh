#!/usr/bin/env bash
# A container that asks for a restart (exit code 14) under Wine's service
# manager: the service starts a second launch cycle on the same parameters and
# log file, stays RUNNING, and ends with exit code 0 after one stop.
#
# Usage: bash restart.sh <directory holding talvex.exe and its libraries>
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexRestart
area_win='C:\talvex-restart'
area="$WINEPREFIX/drive_c/talvex-restart"
events="$E2E_SCRATCH/events.log"

restart_cleanup() {
    e2e_remove_service "$svc"
    rm -rf "$area"
    e2e_untrace_events
    e2e_cleanup
}
trap restart_cleanup EXIT

e2e_trace_events "$events"
e2e_fakejava_service "$svc" "$area" "$area_win" || e2e_finish
# The first container asks for a restart half a second after it is up; the
# second one runs until it is stopped.
printf 'name=restart\r\ncontainer.restarts=1\r\ncontainer.restart_after_ms=500\r\n' >"$area/work/container.ini"

wine sc start "$svc" >/dev/null 2>&1 || e2e_fail "sc start"
e2e_wait_event "$events" 0x40000007 "$svc" 30 && e2e_pass "restart event" || e2e_fail "no restart event"
# The second container's start is the second started event.
started=0
for ((i = 0; i < 120; i++)); do
    started=$(e2e_event_count "$events" 0x40000001 "$svc")
    [ "$started" -ge 2 ] && break
    sleep 0.25
done
[ "$started" = 2 ] && e2e_pass "both containers signalled their start" ||
    e2e_fail "$started container started events, expected 2"
e2e_wait_sc_state "$svc" 4 10 && e2e_pass "RUNNING after the restart" ||
    e2e_fail "not RUNNING after the restart (state $(e2e_sc_field "$svc" STATE))"

log="$area/work/$svc.out"
n=$(grep -ac 'restart launcher: wrote the start script' "$log")
[ "$n" = 2 ] && e2e_pass "two launcher runs in one log file" || e2e_fail "$n launcher runs in the log file"
grep -aq 'restart container: up (run 1, ' "$log" && grep -aq 'restart container: up (run 2, ' "$log" &&
    e2e_pass "both containers wrote to the same log file" || e2e_fail "the log file misses a container run"
grep -aq $'restart container: asking for a restart\r\n\a14\a' "$log" &&
    e2e_pass "the restart marker is in the log" || e2e_fail "no restart marker in the log"

wine sc stop "$svc" >/dev/null 2>&1 || e2e_fail "sc stop"
e2e_wait_sc_state "$svc" 1 40 && e2e_pass "STOPPED" || e2e_fail "not STOPPED (state $(e2e_sc_field "$svc" STATE))"
e2e_expect_rc "WIN32_EXIT_CODE" 0 "$(e2e_sc_field "$svc" WIN32_EXIT_CODE)"
e2e_expect_rc "SERVICE_EXIT_CODE" 0 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
[ "$(e2e_event_count "$events" 0x40000002 "$svc")" = 1 ] && e2e_pass "the second container ended normally" ||
    e2e_fail "no single container ended event: $(e2e_events "$events")"
[ "$(e2e_event_count "$events" 0x40000007 "$svc")" = 1 ] && e2e_pass "one restart" ||
    e2e_fail "not exactly one restart event"

e2e_finish
