#!/usr/bin/env bash
# Storms and floods under Wine's service manager: a container that restarts
# at once every time is slowed down and a stop during a delay ends the run; a
# flood on standard error yields a limited number of events and a summary,
# with every byte in the log; a log size limit rotates the file, control
# code 130 rotates it on demand, the rotated files are compressed, and the
# generations in age order, restored by gunzip, hold the container's output
# unchanged.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexStorms
e2e_trace_events
e2e_area talvex-storms
e2e_service "$svc"
e2e_put "$svc" ShutdownTimeoutSeconds 30
log="$AREA/work/$svc.out"
boot() { printf '%s\r\n' "$@" >"$AREA/work/container.ini"; }
runs() { local n; n=$({ tr -dc 0-9 <"$AREA/work/container.ini.runs"; } 2>/dev/null); echo "${n:-0}"; }
stop_within() {
    wine sc stop "$svc" >/dev/null 2>&1
    e2e_wait "$1" "e2e_in_state $svc 1" && e2e_pass "$2: STOPPED within $1 s" || e2e_fail "$2: not STOPPED within $1 s"
}

# --- restart storm: delays of 1, 2, 4, 8, 16 s --------------------------------------

boot name=storm container.restarts=always
wine sc start "$svc" >/dev/null 2>&1
# The fifth quick restart waits 16 s; a stop at its start ends the run well
# before the delay would.
e2e_wait 90 'e2e_events | grep -q "delayed by 16 s after 5 quick restarts"' || e2e_fail "no 16-s delay"
e2e_check "cycles before the 16-s delay" 5 "$(runs)"
stop_within 8 "stop during a delay"
e2e_check "storm: exit codes" "0 0" "$(e2e_sc "$svc" WIN32_EXIT_CODE) $(e2e_sc "$svc" SERVICE_EXIT_CODE)"
e2e_events | grep -q 'Restart of the container delayed by 4 s after 3 quick restarts' &&
    e2e_pass "the delays are reported" || e2e_fail "no delay event: $(e2e_events | cut -c1-120)"

# --- a flood on standard error --------------------------------------------------------

boot name=flood container.stderr_flood_ms=5000
before=$(e2e_events | grep -c '^0xc0000006')
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 60 'grep -aq "lines of error flood written" "$log"' || e2e_fail "flood: not written"
stop_within 30 flood
events=$(($(e2e_events | grep -c '^0xc0000006') - before))
[ "$events" -ge 20 ] && [ "$events" -le 80 ] && e2e_pass "$events error events" || e2e_fail "$events error events"
e2e_events | grep -q 'further error outputs of the container were not written as events; see C:' &&
    e2e_pass "the held-back output is summed up" || e2e_fail "no summary event"
written=$(grep -ao 'flood container: [0-9]* lines of error flood written' "$log" | grep -o '[0-9]*')
e2e_check "every flood line in the log" "$written" \
    "$(grep -ao 'fakejava error flood: the quick brown fox jumps over the lazy dog' "$log" | wc -l)"

# --- log rotation, on demand too, with compression ----------------------------------

rm -f "$log"*
e2e_put "$svc" LogFileMaxMegabytes 1
e2e_put "$svc" LogFileGenerations 5
e2e_put "$svc" LogFileCompress true
boot name=rot container.output_bytes=3145728
wine sc start "$svc" >/dev/null 2>&1
# grep reads all that gunzip gives (no -q), so that pipefail sees no SIGPIPE.
e2e_wait 60 "[ -f '$log.3.gz' ] && gunzip -c '$log.3.gz' | grep -a 'rot container: up' >/dev/null" ||
    e2e_fail "rotation: no .out.3.gz"
sleep 2
e2e_tool service control "$svc" 130 && e2e_pass "rotation: code 130 taken" || e2e_fail "rotation: code 130 refused"
e2e_wait 30 "[ -f '$log.4.gz' ] && [ -f '$log.1.gz' ] && [ ! -f '$log.1' ]" || e2e_fail "rotation: code 130 rotated nothing"
stop_within 30 rotation
e2e_check "rotation: generations" ".out .out.1.gz .out.2.gz .out.3.gz .out.4.gz" "$(cd "$AREA/work" && ls "$svc".out* | sed "s/^$svc//" | tr '\n' ' ' | sed 's/ $//')"
for n in 1 2 3 4; do gunzip -c "$log.$n.gz" >"$E2E_SCRATCH/out.$n" || e2e_fail "rotation: gunzip cannot restore .out.$n.gz"; done
cp "$log" "$E2E_SCRATCH/out.0"
python3 - "$E2E_SCRATCH/out" <<'PY' && e2e_pass "rotation: the generations hold the output in order" || e2e_fail "rotation: output lost or out of order"
import sys
path = sys.argv[1]
data = b"".join(open(path + s, "rb").read() for s in (".4", ".3", ".2", ".1", ".0"))
for line in (b"NT Service starting input flusher thread\r\n", b"NT Service exiting input flusher thread\r\n"):
    data = data.replace(line, b"")
line = b"fakejava output: the quick brown fox jumps over the lazy dog 0123\r\n"
piece = (line * (8192 // len(line) + 1))[:8192]
sizes = [len(open(path + s, "rb").read()) for s in (".4", ".3", ".2")]
sys.exit(0 if piece * 384 in data and max(sizes) <= 1048576 + 262144 else 1)
PY

e2e_remove_service "$svc"
rm -rf "$AREA"
wineserver -k >/dev/null 2>&1
e2e_finish
