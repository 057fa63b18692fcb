#!/usr/bin/env bash
# Failed runs under Wine's service manager end STOPPED with Win32 exit code
# 1066 (ERROR_SERVICE_SPECIFIC_ERROR) and a service-specific exit code, so
# that `sc query` shows the failure: a launcher that reports exit code 3, a
# java.exe that does not exist, and a container that dies without announcing
# an exit code.
#
# Usage: bash launcher_failure.sh <directory holding talvex.exe and its libraries>
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexLaunchFailure
area_win='C:\talvex-launch-failure'
area="$WINEPREFIX/drive_c/talvex-launch-failure"
events="$E2E_SCRATCH/events.log"

launch_failure_cleanup() {
    e2e_remove_service "$svc"
    rm -rf "$area"
    e2e_untrace_events
    e2e_cleanup
}
trap launch_failure_cleanup EXIT

e2e_trace_events "$events"
e2e_fakejava_service "$svc" "$area" "$area_win" || e2e_finish
log="$area/work/$svc.out"

# run_to_stopped <what>: starts the service and waits for it to stop by itself.
run_to_stopped() {
    wine sc start "$svc" >/dev/null 2>&1 || e2e_fail "$1: sc start"
    e2e_wait_sc_state "$svc" 1 40 && e2e_pass "$1: STOPPED by itself" ||
        e2e_fail "$1: not STOPPED (state $(e2e_sc_field "$svc" STATE))"
}

# --- the launcher reports exit code 3 ----------------------------------------------

printf 'name=failing\r\nlauncher.exit_code=3\r\n' >"$area/work/container.ini"
run_to_stopped "launcher exit code 3"
e2e_expect_rc "launcher exit code 3: WIN32_EXIT_CODE" 1066 "$(e2e_sc_field "$svc" WIN32_EXIT_CODE)"
e2e_expect_rc "launcher exit code 3: SERVICE_EXIT_CODE" 3 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
[ "$(e2e_event_count "$events" 0xC0000003 "$svc" 3)" = 1 ] && e2e_pass "launch failed event with the code" ||
    e2e_fail "no launch failed event with text 3: $(e2e_events "$events")"
[ "$(e2e_event_count "$events" 0x40000001 "$svc")" = 0 ] && ! grep -aq 'failing container: up' "$log" &&
    e2e_pass "no container was started" || e2e_fail "a container was started after a failed launch"
grep -aq $'failing launcher: wrote the start script .\\container.ini.bat\r\n\a3\a' "$log" &&
    e2e_pass "the launcher's output and marker are in the log" || e2e_fail "the launcher's marker is not in the log"

# --- java.exe does not exist ----------------------------------------------------------

e2e_put_parameter "$svc" JavaExe "$area_win\\missing\\java.exe"
before=$(e2e_event_count "$events" 0xC0000003 "$svc")
run_to_stopped "missing java.exe"
e2e_expect_rc "missing java.exe: WIN32_EXIT_CODE" 1066 "$(e2e_sc_field "$svc" WIN32_EXIT_CODE)"
e2e_expect_rc "missing java.exe: SERVICE_EXIT_CODE" 1 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
after=$(e2e_event_count "$events" 0xC0000003 "$svc")
[ "$after" = $((before + 1)) ] && e2e_pass "the failed start is an error event" ||
    e2e_fail "no error event for the failed start: $(e2e_events "$events")"

# --- the container dies without an exit code ------------------------------------------

e2e_put_parameter "$svc" JavaExe "$area_win\\jre\\bin\\java.exe"
printf 'name=crashing\r\ncontainer.crash_after_ms=300\r\n' >"$area/work/container.ini"
run_to_stopped "container crash"
e2e_expect_rc "container crash: WIN32_EXIT_CODE" 1066 "$(e2e_sc_field "$svc" WIN32_EXIT_CODE)"
e2e_expect_rc "container crash: SERVICE_EXIT_CODE" 1 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
text='Container ended without reporting an exit code (process exit status 1)'
[ "$(e2e_event_count "$events" 0xC0000004 "$svc" "$text")" = 1 ] && e2e_pass "the silent end is an error event" ||
    e2e_fail "no event for the container's silent end: $(e2e_events "$events")"

e2e_finish
