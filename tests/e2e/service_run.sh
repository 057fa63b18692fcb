#!/usr/bin/env bash
# One service run under Wine's own service manager, with the stand-in JVM of
# tests/fakejava as launcher and container: the service is registered with
# Wine's sc and given its parameters with reg, started, seen RUNNING with the
# container-started event, stopped once, seen STOPPED with exit code 0 and the
# container-ended event; its log file then holds the children's output byte
# for byte.
#
# Usage: bash service_run.sh <directory holding talvex.exe and its libraries>
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexServiceRun
area_win='C:\talvex-service-run'
area="$WINEPREFIX/drive_c/talvex-service-run"
events="$E2E_SCRATCH/events.log"

service_run_cleanup() {
    e2e_remove_service "$svc"
    rm -rf "$area"
    e2e_untrace_events
    e2e_cleanup
}
trap service_run_cleanup EXIT

e2e_trace_events "$events"
e2e_fakejava_service "$svc" "$area" "$area_win" || e2e_finish
cat >"$area/work/container.ini" <<'BOOT'
name=svcrun
launcher.stdout=launcher says\thello\r\n
container.stdout=container line one\r\ncontainer line two, with odd bytes \x01\x7f\r\n
container.stderr=container warning on stderr\r\n
BOOT

e2e_put_parameter "$svc" JavaArgs "-Xmx64m"
e2e_put_parameter "$svc" Classpath 'lib\agent.jar'
e2e_put_parameter "$svc" ShutdownTimeoutSeconds 30

# --- start -----------------------------------------------------------------------

wine sc start "$svc" >/dev/null 2>&1 || e2e_fail "sc start"
e2e_wait_sc_state "$svc" 4 30 && e2e_pass "RUNNING" || e2e_fail "not RUNNING (state $(e2e_sc_field "$svc" STATE))"
e2e_wait_event "$events" 0x40000001 "$svc" 30 && e2e_pass "container started event" ||
    e2e_fail "no container started event"
e2e_wait_event "$events" 0xC0000006 "$svc" 10 $'container warning on stderr\r\n' &&
    e2e_pass "the container's standard error became an error event" ||
    e2e_fail "no error event with the container's standard error: $(e2e_events "$events")"

# --- stop (once: a second stop while STOP_PENDING makes Wine kill the service) -----

wine sc stop "$svc" >/dev/null 2>&1 || e2e_fail "sc stop"
e2e_wait_sc_state "$svc" 1 40 && e2e_pass "STOPPED" || e2e_fail "not STOPPED (state $(e2e_sc_field "$svc" STATE))"
e2e_expect_rc "WIN32_EXIT_CODE after a requested stop" 0 "$(e2e_sc_field "$svc" WIN32_EXIT_CODE)"
e2e_expect_rc "SERVICE_EXIT_CODE after a requested stop" 0 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
[ "$(e2e_event_count "$events" 0x40000002 "$svc")" = 1 ] && e2e_pass "container ended event" ||
    e2e_fail "no single container ended event: $(e2e_events "$events")"
[ "$(e2e_event_count "$events" 0x40000001 "$svc")" = 1 ] && e2e_pass "one container started event" ||
    e2e_fail "not exactly one container started event"
[ "$(e2e_event_count "$events" 0xC0000006 "$svc")" = 1 ] && e2e_pass "one error event" ||
    e2e_fail "not exactly one error event: $(e2e_events "$events")"

# --- the log file ----------------------------------------------------------------------

log="$area/work/$svc.out"
if [ ! -f "$log" ]; then
    e2e_fail "no log file $log"
    e2e_finish
fi
# The wrapper's own two lines come from the input flusher thread, whose start
# races with the container's first output, and the container's standard error
# is drained apart from its standard output: these three are checked on their
# own, and the rest is the children's output exactly as they wrote it.  The
# container's process id is the one varying part of its output.
for line in "NT Service starting input flusher thread" "NT Service exiting input flusher thread" \
    "container warning on stderr"; do
    n=$(LINE="$line" perl -0777 -ne 'print scalar(() = /\Q$ENV{LINE}\E\r\n/g)' "$log")
    [ "$n" = 1 ] && e2e_pass "the log holds \"$line\" once" || e2e_fail "the log holds \"$line\" $n times"
done
perl -0777 -pe 's/NT Service (starting|exiting) input flusher thread\r\n//g;
                 s/container warning on stderr\r\n//;
                 s/\(run 1, process [0-9]+\)/(run 1, process PID)/' "$log" >"$E2E_SCRATCH/children.out"
{
    printf 'svcrun launcher: boot file .\\container.ini\r\n'
    printf 'launcher says\thello\r\n'
    printf 'svcrun launcher: wrote the start script .\\container.ini.bat\r\n'
    printf '\a0\a'
    printf 'svcrun container: up (run 1, process PID)\r\n'
    printf 'container line one\r\ncontainer line two, with odd bytes \001\177\r\n'
    printf '\b'
    printf 'svcrun container: shutdown requested\r\n'
    printf 'svcrun container: stopped\r\n'
    printf '\a0\a'
} >"$E2E_SCRATCH/expected.out"
e2e_expect_same "the log file holds the children's output" "$E2E_SCRATCH/expected.out" "$E2E_SCRATCH/children.out"

e2e_finish
