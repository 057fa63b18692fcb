#!/usr/bin/env bash
# Soak: a service whose container asks for a restart (exit code 14) as soon
# as it is up, on every cycle, for 200 cycles (or the number given).  Then:
#  - the log file holds every byte both children wrote, cycle after cycle;
#  - talvex.exe holds no more handles and no more private memory around the
#    last cycles than around cycle 10, within the noise a loaded machine
#    shows: the handle count seen most often may differ by 4 and the floor of
#    the private memory may rise by 256 KB, where a leak of one handle or
#    16 KB a cycle adds 190 handles or 3 MB;
#  - one stop ends the service with exit code 0.
#
# Usage: bash tests/soak/soak.sh <directory holding talvex.exe> [cycles]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"
e2e_init "$1"
cycles=${2:-200}

svc=TalvexSoak
e2e_trace_events
e2e_area talvex-soak
e2e_service "$svc"
e2e_put "$svc" RestartDelayMaxSeconds 0   # the soak's cycles are quick on purpose
printf '%s\r\n' name=soak 'launcher.stdout=soak launcher line\r\n' 'container.stdout=soak container line\r\n' \
    container.restarts=always >"$AREA/work/container.ini"
runs() { local n; n=$({ tr -dc 0-9 <"$AREA/work/container.ini.runs"; } 2>/dev/null); echo "${n:-0}"; }

# sample <file>: "handles private-bytes" of talvex.exe, 20 times.  The private
# memory is the VmData of the Linux process that runs it, which Wine does not
# answer for another process.
sample() {
    local i pid handles
    for ((i = 0; i < 20; i++)); do
        read -r pid handles < <(e2e_tool handles talvex.exe)
        for p in /proc/[0-9]*; do
            tr '\0' '\n' 2>/dev/null <"$p/cmdline" | head -1 | grep -qi '\\talvex\.exe$' &&
                echo "${handles:-0} $(awk '/^VmData:/ { print $2 * 1024 }' "$p/status")" >>"$1" && break
        done
    done
}
most_frequent() { cut -d' ' -f1 "$1" | sort -n | uniq -c | sort -n | tail -1 | awk '{ print $2 }'; }
floor() { cut -d' ' -f2 "$1" | sort -n | head -1; }

start=$(date +%s)
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 120 '[ "$(runs)" -ge 10 ]' || { e2e_fail "only $(runs) cycles after two minutes"; e2e_finish; }
sample "$E2E_SCRATCH/early"
# A service that stopped by itself ends the wait: the checks below say why.
e2e_wait 3600 '[ "$(runs)" -ge "$cycles" ] || e2e_in_state "$svc" 1' ||
    { e2e_fail "only $(runs) of $cycles cycles in an hour"; e2e_finish; }
e2e_in_state "$svc" 1 && e2e_fail "the service stopped by itself after $(runs) cycles"
sample "$E2E_SCRATCH/late"
wine sc stop "$svc" >/dev/null 2>&1
e2e_wait 60 'e2e_in_state "$svc" 1' || e2e_fail "not STOPPED after one stop"
codes="$(talvex_sc "$svc" WIN32_EXIT_CODE) $(talvex_sc "$svc" SERVICE_EXIT_CODE)"
e2e_check "exit codes" "0 0" "$codes"
# Why the service ended otherwise: its last events and the end of its log.
if [ "$codes" != "0 0" ]; then
    e2e_events | tail -5 | sed 's/^/soak: event: /'
    # What Wine itself said on the way (a child that died while it started, say).
    grep -v ':eventlog:\|:fixme:advapi:ReportEventA' "$E2E_EVENTS" | tail -10 | sed 's/^/soak: wine: /'
    tail -c 600 "$AREA/work/$svc.out" | cat -v | sed 's/^/soak: log: /'
fi
total=$(runs)
echo "soak: $total cycles in $(($(date +%s) - start)) s; samples (handles private):" \
    "early $(tr '\n' ',' <"$E2E_SCRATCH/early") late $(tr '\n' ',' <"$E2E_SCRATCH/late")"

h10=$(most_frequent "$E2E_SCRATCH/early") h200=$(most_frequent "$E2E_SCRATCH/late")
m10=$(floor "$E2E_SCRATCH/early") m200=$(floor "$E2E_SCRATCH/late")
[ "${h10:-0}" -gt 0 ] && [ "${m10:-0}" -gt 0 ] || e2e_fail "talvex.exe could not be measured"
[ "${h200:-0}" -le $((h10 + 4)) ] && e2e_pass "handles: $h200 late, $h10 early" || e2e_fail "handles: $h200 late, $h10 early"
[ "${m200:-0}" -le $((m10 + 262144)) ] && e2e_pass "private memory: $m200 late, $m10 early" ||
    e2e_fail "private memory: $m200 late, $m10 early"

# Every cycle's output in order: the launcher's, then the container's with
# its run number; the wrapper's flusher lines and process ids set aside.
perl -0777 -pe 's/NT Service (starting|exiting) input flusher thread\r\n//g; s/process [0-9]+\)/process P)/g' \
    "$AREA/work/$svc.out" >"$E2E_SCRATCH/log"
expected=""
for ((run = 1; run <= total; run++)); do
    expected+=$'soak launcher: boot file .\\container.ini\r\nsoak launcher line\r\n'
    expected+=$'soak launcher: wrote the start script .\\container.ini.bat\r\n\a0\a'
    expected+="soak container: up (run $run, process P)"$'\r\nsoak container line\r\n\b'
    [ "$run" -lt "$total" ] && expected+=$'soak container: asking for a restart\r\n\a14\a'
done
printf '%s' "$expected" >"$E2E_SCRATCH/expected"
head -c "$(stat -c %s "$E2E_SCRATCH/expected")" "$E2E_SCRATCH/log" | cmp -s - "$E2E_SCRATCH/expected" &&
    e2e_pass "the log holds all $total cycles in order" || e2e_fail "the log differs from the children's output"

e2e_remove_service "$svc"
rm -rf "$AREA"
wineserver -k >/dev/null 2>&1
e2e_finish
