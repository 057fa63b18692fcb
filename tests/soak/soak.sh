#!/usr/bin/env bash
# Soak: a service under Wine's service manager whose container asks for a
# restart (exit code 14) as soon as it is up, on every cycle, for 200 cycles
# (or the number given), with output on both streams from both children.
#
# Afterwards:
#  - the log file holds every byte the children wrote, in order (check_log.py);
#  - talvex.exe's handle count and private memory are the same around cycle
#    200 as around cycle 10, read with proc_stats.exe (GetProcessHandleCount,
#    GetProcessMemoryInfo), which this script cross-builds;
#  - one stop ends the service with exit code 0.
#
# Usage: bash tests/soak/soak.sh <directory holding talvex.exe> [cycles]
# It takes several minutes, so the test command does not run it; see README.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"
e2e_init "$1"
cycles=${2:-200}
early=10
samples=30

svc=TalvexSoak
area_win='C:\talvex-soak'
area="$WINEPREFIX/drive_c/talvex-soak"
runs_file="$area/work/container.ini.runs"

soak_cleanup() {
    e2e_remove_service "$svc"
    rm -rf "$area"
    e2e_cleanup
}
trap soak_cleanup EXIT

stats_exe="$E2E_SCRATCH/proc_stats.exe"
if ! x86_64-w64-mingw32-g++-posix -O2 -static -o "$stats_exe" "$here/proc_stats.cpp" -lpsapi; then
    e2e_fail "proc_stats.exe does not build"
    e2e_finish
fi

e2e_fakejava_service "$svc" "$area" "$area_win" || e2e_finish
printf '%s\r\n' \
    'name=soak' \
    'launcher.stdout=soak launcher OUT: line one\r\n' \
    'launcher.stderr=! soak launcher: on standard error\r\n' \
    'container.stdout=soak container OUT: working\r\n' \
    'container.stderr=! soak container: on standard error\r\n' \
    'container.restarts=always' \
    'container.restart_after_ms=200' >"$area/work/container.ini"

runs() {
    local n
    n=$({ tr -dc '0-9' <"$runs_file"; } 2>/dev/null)
    echo "${n:-0}"
}

# wait_runs <n> <seconds>: 0 once the n-th container has started.
wait_runs() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        [ "$(runs)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# linux_private_bytes: the private, writable memory the talvex.exe process
# has committed (Linux's VmData of the process that runs it), for Wine, which
# answers GetProcessMemoryInfo about another process with zeros.
linux_private_bytes() {
    local status pid cmd
    for status in /proc/[0-9]*/cmdline; do
        pid=${status#/proc/}
        pid=${pid%/cmdline}
        cmd=$(tr '\0' '\n' 2>/dev/null <"$status" | head -1)
        case "${cmd,,}" in
        *\\talvex.exe)
            awk '/^VmData:/ { print $2 * 1024 }' "/proc/$pid/status" 2>/dev/null
            return 0
            ;;
        esac
    done
    echo 0
}

# sample <file>: appends "handles private" lines of talvex.exe, one per
# sample, taken over a few cycles.  The figures follow the phase of the cycle:
# a launcher holds two handles of the service, a container two more with the
# flusher thread and its event, and Wine gives a finished thread's memory
# back a little later.  So the handle count is compared by its most frequent
# value (the container's phase, by far the longest), and the private memory
# by its smallest value, the floor that any leak would raise.
sample() {
    local i line handles private
    for ((i = 0; i < samples; i++)); do
        line=$(wine "$stats_exe" talvex.exe 2>/dev/null | tr -d '\r' | head -1)
        [ -n "$line" ] || continue
        handles=$(echo "$line" | sed -n 's/.*handles=\([0-9]*\).*/\1/p')
        private=$(echo "$line" | sed -n 's/.*private=\([0-9]*\).*/\1/p')
        [ "${private:-0}" = 0 ] && private=$(linux_private_bytes)
        echo "${handles:-0} ${private:-0}" >>"$1"
    done
}

# most_frequent <file> <column>: the value seen most often (the larger one on
# a tie).
most_frequent() {
    awk -v k="$2" '{ n[$k]++ } END { for (v in n) print n[v], v }' "$1" | sort -n -k1,1 -k2,2 | tail -1 |
        awk '{ print $2 }'
}

smallest() {
    sort -n -k"$2","$2" "$1" | head -1 | awk -v k="$2" '{ print $k }'
}

start_time=$(date +%s)
wine sc start "$svc" >/dev/null 2>&1 || e2e_fail "sc start"
if ! wait_runs "$early" 120; then
    e2e_fail "only $(runs) cycles after two minutes"
    e2e_finish
fi
early_from=$(runs)
sample "$E2E_SCRATCH/early"
early_runs="$early_from to $(runs)"
if ! wait_runs "$cycles" 3600; then
    e2e_fail "only $(runs) of $cycles cycles within an hour"
    e2e_finish
fi
late_from=$(runs)
sample "$E2E_SCRATCH/late"
late_runs="$late_from to $(runs)"
wine sc stop "$svc" >/dev/null 2>&1 || e2e_fail "sc stop"
e2e_wait_sc_state "$svc" 1 60 && e2e_pass "STOPPED after one stop" ||
    e2e_fail "not STOPPED (state $(e2e_sc_field "$svc" STATE))"
e2e_expect_rc "SERVICE_EXIT_CODE" 0 "$(e2e_sc_field "$svc" SERVICE_EXIT_CODE)"
total=$(runs)
elapsed=$(($(date +%s) - start_time))
e2e_pass "$total cycles in ${elapsed}s"

echo "samples during cycles $early_runs (handles private):" $(cat "$E2E_SCRATCH/early" 2>/dev/null | tr '\n' ',')
echo "samples during cycles $late_runs (handles private):" $(cat "$E2E_SCRATCH/late" 2>/dev/null | tr '\n' ',')
if [ ! -s "$E2E_SCRATCH/early" ] || [ ! -s "$E2E_SCRATCH/late" ] ||
   awk '$1 == 0 || $2 == 0 { bad = 1 } END { exit !bad }' "$E2E_SCRATCH/early" "$E2E_SCRATCH/late"; then
    e2e_fail "talvex.exe could not be measured"
else
    h10=$(most_frequent "$E2E_SCRATCH/early" 1)
    h200=$(most_frequent "$E2E_SCRATCH/late" 1)
    m10=$(smallest "$E2E_SCRATCH/early" 2)
    m200=$(smallest "$E2E_SCRATCH/late" 2)
    [ "$h10" = "$h200" ] && e2e_pass "handle count $h200 during cycles $late_runs, as during cycles $early_runs" ||
        e2e_fail "handle count $h200 during cycles $late_runs, $h10 during cycles $early_runs"
    [ "$m10" = "$m200" ] && e2e_pass "private memory $m200 bytes during cycles $late_runs, as during cycles $early_runs" ||
        e2e_fail "private memory $m200 bytes during cycles $late_runs, $m10 during cycles $early_runs"
fi

log="$area/work/$svc.out"
if result=$(python3 "$here/check_log.py" "$log" "$total"); then
    e2e_pass "$result"
else
    e2e_fail "$result"
fi
e2e_finish
