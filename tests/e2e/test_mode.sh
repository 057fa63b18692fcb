#!/usr/bin/env bash
# The -test command runs the service body in the console, without the service
# manager: the launcher and a container that ends by itself, the events, the
# log file, the debug trace with the password hidden, and the command's own
# end.
#
# Usage: bash test_mode.sh <directory holding talvex.exe and its libraries>
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexTestMode
area_win='C:\talvex-test-mode'
area="$WINEPREFIX/drive_c/talvex-test-mode"
params="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc"

test_mode_cleanup() {
    wine reg delete "$params" /f >/dev/null 2>&1
    rm -rf "$area"
    e2e_cleanup
}
trap test_mode_cleanup EXIT

fakejava="$E2E_BINDIR/fakejava/java.exe"
[ -f "$fakejava" ] || { e2e_fail "the stand-in java.exe is not in $E2E_BINDIR/fakejava"; e2e_finish; }
wine reg delete "$params" /f >/dev/null 2>&1
rm -rf "$area"
mkdir -p "$area/jre/bin" "$area/work"
cp "$fakejava" "$area/jre/bin/java.exe"
printf 'name=testmode\r\ncontainer.end_after_ms=500\r\n' >"$area/work/container.ini"

# No service is registered: the parameters alone are enough for -test.
e2e_put_parameter "$svc" WorkingDirectory "$area_win\\work"
e2e_put_parameter "$svc" JavaExe "$area_win\\jre\\bin\\java.exe"
e2e_put_parameter "$svc" OrvaneHome "$area_win"
e2e_put_parameter "$svc" UtilDir "$E2E_BINDIR_WIN"
# The password goes unquoted onto the launcher's command line, so it holds
# no blank here.
e2e_put_parameter "$svc" PBE "s3cretpw"
e2e_put_parameter "$svc" Debug "1"

# A console program's events are traced on its own standard error.
WINEDEBUG=+eventlog timeout 120 wine "$E2E_BINDIR/talvex.exe" -test "$svc" \
    >"$E2E_SCRATCH/out.txt" 2>"$E2E_SCRATCH/trace.txt"
rc=$?
[ "$rc" != 124 ] && e2e_pass "-test ended by itself when the container ended" || e2e_fail "-test did not end"
e2e_expect_rc "-test" 0 "$rc"

events="$E2E_SCRATCH/trace.txt"
[ "$(e2e_event_count "$events" 0x40000001 "$svc")" = 1 ] && e2e_pass "container started event" ||
    e2e_fail "no single container started event: $(e2e_events "$events")"
[ "$(e2e_event_count "$events" 0x40000002 "$svc")" = 1 ] && e2e_pass "container ended event" ||
    e2e_fail "no single container ended event: $(e2e_events "$events")"

log="$area/work/$svc.out"
grep -aq $'testmode launcher: wrote the start script .\\container.ini.bat\r\n\a0\a' "$log" &&
    e2e_pass "the launcher's output is in the log" || e2e_fail "the launcher's output is not in the log"
grep -aq $'testmode container: ending by itself\r\n\a0\a' "$log" &&
    e2e_pass "the container's output is in the log" || e2e_fail "the container's output is not in the log"
grep -aq $'DEBUG: init service complete\r\n' "$log" && e2e_pass "debug trace" || e2e_fail "no debug trace"
grep -aqF -- ' -Dlumora.mf.password=******** -Dlumora.home="C:\talvex-test-mode" ' "$log" &&
    e2e_pass "the traced command line hides the password" || e2e_fail "no masked password in the trace"
grep -aq 's3cret' "$log" && e2e_fail "the password is in the log file" || e2e_pass "the password is not in the log file"

e2e_finish
