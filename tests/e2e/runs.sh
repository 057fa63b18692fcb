#!/usr/bin/env bash
# Service runs under Wine's service manager with the stand-in JVM: the log
# file holds both children's output byte for byte, standard error becomes an
# error event, a restart runs a second cycle into the same log, a password
# with a blank reaches the launcher as one argument, the exit hook runs the
# system's cmd.exe and not one planted beside talvex.exe, failed runs end
# with exit code 1066 and their own code, a timeout stored as REG_DWORD is
# honoured, a stray BEL is ordinary output while a marker that comes in two
# writes is one marker, a container that stops reading its input is reported
# and restarted and the metrics file says so, a service named outside the ANSI
# code page runs nothing of its namesake's, one named "Caf\u00e9" writes a
# metrics file that Prometheus' parser reads back with that name, and -test
# runs the same body in the console and says its events there, and the
# Environment value reaches the container.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexRuns
e2e_trace_events
e2e_area talvex-runs
mkdir -p "$AREA/product"
cp "$E2E_BINDIR"/talvex.exe "$E2E_BINDIR"/*.dll "$AREA/product/"
# A cmd.exe beside talvex.exe that would not run exit.bat.
cp "$AREA/jre/bin/java.exe" "$AREA/product/cmd.exe"
printf 'echo done>exit-ran.txt\r\n' >"$AREA/work/exit.bat"
e2e_service "$svc" "$AREA_WIN\\product\\talvex.exe"
e2e_put "$svc" PBE 'pa ss"w'
e2e_put "$svc" Classpath 'lib\agent.jar'
e2e_put "$svc" ShutdownTimeoutSeconds 30
log="$AREA/work/$svc.out"
boot() { printf '%s\r\n' "$@" >"$AREA/work/container.ini"; }

# run_until <state> <what>: starts the service and waits for the state.
run_until() {
    wine sc start "$svc" >/dev/null 2>&1 || e2e_fail "$2: sc start"
    e2e_wait 40 "e2e_in_state $svc $1" || e2e_fail "$2: not in state $1"
}
stop() {
    wine sc stop "$svc" >/dev/null 2>&1
    e2e_wait 40 'e2e_in_state "$svc" 1' || e2e_fail "not STOPPED"
}
exit_codes() { echo "$(talvex_sc "$svc" WIN32_EXIT_CODE) $(talvex_sc "$svc" SERVICE_EXIT_CODE)"; }

# --- a run and a restart: the log file holds every byte -------------------------

boot name=run 'launcher.stdout=launcher says\thello\r\n' 'container.stdout=odd bytes \x01\x7f\r\n' \
    'container.stderr=warning\r\n' container.restarts=1 container.restart_after_ms=300
run_until 4 restart
e2e_wait 30 '[ "$(e2e_count 0x40000001 "L\"$svc\"")" = 2 ]' || e2e_fail "the second container did not start"
stop
e2e_check "restart: exit codes" "0 0" "$(exit_codes)"
# The error event and the start of a container may come in either order; the
# quick restart waits a second, with a warning.
e2e_check "restart: events" "$(printf '%s\n' 0x40000001 0x40000001 0x40000002 0x40000007 0x80000005 0xc0000006 0xc0000006)" \
    "$(e2e_events | cut -f1 | sort)"
e2e_check "standard error as an event" 2 "$(e2e_count 0xc0000006 "L\"$svc\"	L\"warning\\r\\n\"")"
# The wrapper's own two lines per cycle and the container's standard error
# are drained apart from its standard output; the rest is exact.
perl -0777 -pe 's/NT Service (starting|exiting) input flusher thread\r\n//g; s/warning\r\n//g;
                 s/process [0-9]+\)/process P)/g' "$log" >"$E2E_SCRATCH/children"
launcher=$'run launcher: boot file .\\container.ini\r\nrun launcher: a password of 7 characters\r\nlauncher says\thello\r\nrun launcher: wrote the start script .\\container.ini.bat\r\n\a0\a'
container=$'run container: up (run N, process P)\r\nodd bytes \x01\x7f\r\n\b'
expected="$launcher${container/N/1}"$'run container: asking for a restart\r\n\a14\a'
expected+="$launcher${container/N/2}"$'run container: shutdown requested\r\nrun container: stopped\r\n\a0\a'
e2e_check "the log holds both cycles' output" "$expected" "$(cat "$E2E_SCRATCH/children")"
# The hook is started and not waited for: it may end after STOPPED.
e2e_wait 30 '[ -f "$AREA/work/exit-ran.txt" ]'
e2e_check "exit.bat ran, through the system's cmd.exe" yes "$([ -f "$AREA/work/exit-ran.txt" ] && echo yes)"

# --- a stray BEL is ordinary output, and a marker in two writes is one marker ------

rm -f "$AREA/work/container.ini.runs"
boot name=bel 'container.stdout=Build finished\a (beep)\r\n' container.restarts=1 container.restart_after_ms=300 \
    container.marker_pause_ms=500
run_until 4 "stray BEL"
e2e_wait 30 '[ "$(e2e_count 0x40000001 "L\"$svc\"")" = 4 ]' || e2e_fail "split marker: no restart"
stop
e2e_check "stray BEL, split marker: exit codes" "0 0" "$(exit_codes)"
e2e_check "stray BEL, split marker: no failure event" 0 "$(e2e_events | cut -f1 | grep -c 0xc0000004)"

# --- Environment: the children's variables of their own ------------------------------

boot name=env container.print_env=TALVEX_E2E_ONE,TALVEX_E2E_TWO
wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v Environment /t REG_MULTI_SZ \
    /d 'TALVEX_E2E_ONE=one\0TALVEX_E2E_TWO=%TALVEX_E2E_ONE%-two' /f >/dev/null 2>&1
run_until 4 environment
stop
e2e_check "environment: the container's variables" "one one-two" \
    "$(grep -ao 'env container: TALVEX_E2E_[A-Z]*=[a-z-]*' "$log" | sed 's/.*=//' | xargs)"

# --- a quiet container's output reaches the log whole, as it comes ------------------

# The container answers every second keep-alive newline with a line, after 4
# quiet seconds, when the service waits on its output pipes.
boot name=quiet container.report_empty_lines=2
run_until 4 quiet
lines() { perl -0777 -ne "\$n = () = /$1/g; print \$n" "$log"; }
e2e_wait 30 '[ "$(lines "empty line")" -ge 3 ]' || e2e_fail "quiet: the container's lines did not reach the log"
e2e_check "quiet: every line whole" "$(lines "empty line")" "$(lines "quiet container: empty line\\r\\n")"
stop

# --- a container that stops reading its input; the metrics file ----------------------

# With a stall time of 3 s (a value for the tests only), a container that stops reading
# its input is reported, asked for a thread dump (which Wine cannot deliver: the log
# says so) and ended 10 s later for a new cycle; the metrics file, read with Prometheus'
# own parser after the stop, counts both cycles and the stall (Debian's python3, for
# which scripts/setup.sh installs that parser: another python3 may come first on PATH).
rm -f "$AREA/work/container.ini.runs"
boot name=stall container.stop_reading_after_ms=500
e2e_put "$svc" InputStallSeconds 3
e2e_put "$svc" InputStallAction restart
e2e_put "$svc" MetricsFile metrics.prom
started=$(e2e_count 0x40000001 "L\"$svc\"")
run_until 4 stall
e2e_wait 60 '[ "$(e2e_count 0x40000001 "L\"$svc\"")" = $((started + 2)) ]' || e2e_fail "stall: no second container"
stop
stalled='L"The container has not read its standard input for 0 minutes \([0-9]+ bytes unread\); a thread dump was requested"'
e2e_check "stall: reported once, restarted once, the dump asked for" "1 1 yes" \
    "$(e2e_events | grep -cE "^0x80000005	L\"$svc\"	$stalled\$") $(e2e_count 0x80000005 \
    "L\"$svc\"	L\"The container was restarted after its standard input stalled for 0 minutes\"") \
$(grep -aq 'Ctrl+Break could not be sent' "$log" && echo yes)"
e2e_check "stall: the metrics" "service=$svc talvex_service_up=0 talvex_container_up=0 talvex_launch_cycles_total=2 talvex_input_stalls_total=1" \
    "$(/usr/bin/python3 - "$AREA/work/metrics.prom" <<'PY'
import sys
from prometheus_client.parser import text_string_to_metric_families
samples = [s for f in text_string_to_metric_families(open(sys.argv[1]).read()) for s in f.samples]
names = ('talvex_container_up', 'talvex_input_stalls_total', 'talvex_launch_cycles_total', 'talvex_service_up')
print(' '.join(sorted({'service=' + s.labels['service'] for s in samples}) + ['%s=%g' % (s.name, s.value) for s in samples if s.name in names]))
PY
)"
for value in InputStallSeconds InputStallAction MetricsFile; do
    wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v $value /f >/dev/null 2>&1
done

# --- failed runs ------------------------------------------------------------------

boot name=failing launcher.exit_code=3
run_until 1 "launcher exit code 3"
e2e_check "launcher exit code 3: exit codes" "1066 3" "$(exit_codes)"
e2e_check "launcher exit code 3: event" 1 "$(e2e_count 0xc0000003 "L\"$svc\"	L\"3\"")"
boot name=crashing container.crash_after_ms=300
run_until 1 "container crash"
e2e_check "container crash: exit codes" "1066 1" "$(exit_codes)"
e2e_check "container crash: event" 1 "$(e2e_count 0xc0000004 \
    "L\"$svc\"	L\"none announced (process exit status 1)\"")"
# A launcher that crashes without a marker does not start the container from
# the start script an earlier run left behind.
boot name=crashing launcher.crash=1
started=$(e2e_count 0x40000001 "L\"$svc\"")
run_until 1 "launcher crash"
e2e_check "launcher crash: exit codes, event, no container" "1066 1 1 $started" "$(exit_codes) $(e2e_count 0xc0000003 \
    "L\"$svc\"	L\"The launcher ended with process exit status 1 and no exit code\"") $(e2e_count 0x40000001 "L\"$svc\"")"
# A timeout stored as REG_DWORD, as reg.exe or a script may write it.
boot name=late container.start_marker=0
wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v TimeoutSeconds /t REG_DWORD /d 2 /f \
    >/dev/null 2>&1
run_until 1 "REG_DWORD start timeout"
e2e_check "REG_DWORD start timeout: exit codes and event" "1066 1 1" \
    "$(exit_codes) $(e2e_count 0x80000005 "L\"$svc\"	L\"Elapsed time exceed timeout\"")"
e2e_remove_service "$svc"

# --- a name outside the ANSI code page runs nothing of its namesake ----------------

# "Svc" and an omega arrives in the ANSI code page as "SvcO": started under
# that name, the service refuses to run SvcO's parameters.
omega='Svc\u03a9'
e2e_service SvcO
e2e_put SvcO WorkingDirectory "$AREA_WIN\\svco"
mkdir -p "$AREA/svco"
printf 'name=svco\r\n' >"$AREA/svco/container.ini"
e2e_tool service delete "$omega"
e2e_tool service create "$omega" "$E2E_EXE_WIN" && e2e_tool service start "$omega" || e2e_fail "omega: create and start"
e2e_wait 40 '[ "$(e2e_tool service state "$omega")" = "1 1066 1" ]' || e2e_fail "omega: not STOPPED with 1066/1"
e2e_check "omega: the error event, no container, nothing new in SvcO's directory" "1 0 container.ini" \
    "$(e2e_count 0xc0000006 'L"SvcO"	L"The service was started under the name SvcO, which is not its own; nothing was run"') \
$(e2e_count 0x40000001 'L"SvcO"') $(ls -A "$AREA/svco")"
e2e_tool service delete "$omega"
e2e_remove_service SvcO

# --- a name the ANSI code page holds beyond ASCII: metrics any agent reads ----------

cafe='Caf\u00e9'
mkdir -p "$AREA/cafe"
printf 'name=cafe\r\n' >"$AREA/cafe/container.ini"
e2e_tool service delete "$cafe"
for pair in "WorkingDirectory=$AREA_WIN\\cafe" "JavaExe=$AREA_WIN\\jre\\bin\\java.exe" "OrvaneHome=$AREA_WIN" \
    "UtilDir=$E2E_BINDIR_WIN" MetricsFile=cafe.prom ShutdownTimeoutSeconds=30; do
    e2e_tool reg "SYSTEM\\CurrentControlSet\\Services\\$cafe\\Parameters" "${pair%%=*}" "${pair#*=}" ||
        e2e_fail "cafe: ${pair%%=*} not written"
done
e2e_tool service create "$cafe" "$E2E_EXE_WIN" && e2e_tool service start "$cafe" || e2e_fail "cafe: create and start"
e2e_wait 40 '[ "$(e2e_tool service state "$cafe" | cut -d" " -f1)" = 4 ]' || e2e_fail "cafe: not RUNNING"
e2e_tool service control "$cafe" 1 >/dev/null
e2e_wait 40 '[ "$(e2e_tool service state "$cafe" | cut -d" " -f1)" = 1 ]' || e2e_fail "cafe: not STOPPED"
e2e_check "cafe: the metrics file parses, labelled with the name" "Caf\u00e9" "$(/usr/bin/python3 - "$AREA/cafe/cafe.prom" <<'PY'
import sys
from prometheus_client.parser import text_string_to_metric_families
samples = [s for f in text_string_to_metric_families(open(sys.argv[1], encoding="utf-8").read()) for s in f.samples]
print(" ".join(sorted({s.labels["service"].encode("ascii", "backslashreplace").decode().replace("\\x", "\\u00")
                       for s in samples})))
PY
)"
e2e_tool service delete "$cafe"

# --- -test: the same body in the console ------------------------------------------

e2e_service "$svc"
e2e_put "$svc" PBE s3cretpw
e2e_put "$svc" Debug 1
boot name=testmode container.end_after_ms=500
WINEDEBUG=+eventlog timeout 120 wine "$E2E_BINDIR/talvex.exe" -test "$svc" >/dev/null 2>"$E2E_SCRATCH/trace"
e2e_check "-test: exit code" 0 $?
e2e_check "-test: events" "$(printf '%s\n' 0x40000001 0x40000002)" "$(e2e_events "$E2E_SCRATCH/trace" | cut -f1)"
grep -aq $'DEBUG: init service complete\r\n' "$log" || e2e_fail "-test: no debug trace"
grep -aqF -- ' -Dlumora.mf.password=******** -Dlumora.home="C:\talvex-runs" ' "$log" ||
    e2e_fail "-test: no masked password in the trace"
grep -aq s3cret "$log" && e2e_fail "-test: the password is in the log file"
e2e_check "-test: the events on standard error" "Information 1: The container of service $svc has started." \
    "$(tr -d '\r' <"$E2E_SCRATCH/trace" | grep -a '^Information 1: ')"
said=$(wine "$E2E_BINDIR/talvex.exe" -test TalvexNoSuch 2>&1 >/dev/null | tr -d '\r')
case "$said" in *"Error 6: Service TalvexNoSuch: The parameters of service TalvexNoSuch are missing: "*)
    e2e_pass "-test: says why a service without parameters cannot run" ;;
*) e2e_fail "-test: no reason for missing parameters: $said" ;;
esac

# --- no JVM outlives talvex.exe ------------------------------------------------------

boot name=orphan
run_until 4 "kill"
e2e_wait 30 'grep -aq "orphan container: up" "$log"' || e2e_fail "kill: the container did not start"
# ours <pattern>: the processes of this prefix whose command lines match;
# other developers' Wine prefixes on the machine run talvex.exe and JVMs at
# the same paths, and their runs must not be killed.
ours() {
    local p
    for p in $(pgrep -f -- "$1"); do
        { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$p"
    done
}
children() { ours 'talvex-runs.jre.bin.java\.exe'; }
[ -n "$(children)" ] || e2e_fail "kill: no container process to watch"
kill -9 $(ours '\\talvex\.exe$') 2>/dev/null
e2e_wait 5 '[ -z "$(children)" ]' && e2e_pass "kill: launcher and container ended with talvex.exe" ||
    e2e_fail "kill: a JVM outlived talvex.exe"
# Wine's service manager does not notice the killed process; a new server does.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
e2e_remove_service "$svc"
rm -rf "$AREA"
wineserver -k >/dev/null 2>&1
e2e_finish
