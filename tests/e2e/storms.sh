#!/usr/bin/env bash
# Storms and floods under Wine's service manager: a container that restarts
# at once every time is slowed down and a stop during a delay ends the run; one
# that crashes every time is restarted with FailureAction "restart"; a
# flood on standard error yields a limited number of events and a summary,
# with every byte in the log; a log size limit rotates the file, control
# code 130 rotates it on demand, the rotated files are compressed, and the
# generations in age order, restored by gunzip, hold the container's output
# unchanged; without a size limit two rotations on demand and a new start
# keep all three parts, and a rotated file that a viewer holds while it is
# compressed stays alone, uncompressed, until a later rotation compresses it.
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
e2e_check "storm: exit codes" "0 0" "$(talvex_sc "$svc" WIN32_EXIT_CODE) $(talvex_sc "$svc" SERVICE_EXIT_CODE)"
e2e_events | grep -q 'Restart of the container delayed by 4 s after 3 quick restarts' &&
    e2e_pass "the delays are reported" || e2e_fail "no delay event: $(e2e_events | cut -c1-120)"

# --- a container that crashes every run, with FailureAction "restart" ----------------

boot name=crash container.crash_after_ms=200
e2e_put "$svc" FailureAction restart
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 40 '[ "$(e2e_events | grep -c "failed with exit code 1; a new launch cycle starts in")" -ge 3 ]' ||
    e2e_fail "crash: no three new launch cycles"
e2e_check "crash: RUNNING between the cycles" 4 "$(talvex_sc "$svc" STATE)"
stop_within 30 crash
e2e_check "crash: exit codes" "0 0" "$(talvex_sc "$svc" WIN32_EXIT_CODE) $(talvex_sc "$svc" SERVICE_EXIT_CODE)"
wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v FailureAction /f >/dev/null 2>&1

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

# --- without a size limit: two rotations on demand, then a start, keep every part --

rm -f "$log"*
wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v LogFileMaxMegabytes /f >/dev/null 2>&1
e2e_put "$svc" LogFileCompress false
boot name=parts
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 40 "e2e_in_state $svc 4" || e2e_fail "parts: not RUNNING"
# Each part ends with what a thread dump request writes (Wine cannot deliver
# Ctrl+Break; the log says so), so that no part is empty.
for part in 1 2; do
    e2e_tool service control "$svc" 129 && e2e_wait 10 "grep -aq 'Ctrl+Break\\|thread dump' '$log'" ||
        e2e_fail "parts: part $part got no dump line"
    e2e_tool service control "$svc" 130 && e2e_wait 10 "[ -f '$log.$part' ]" || e2e_fail "parts: rotation $part"
done
stop_within 30 parts
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 40 "e2e_in_state $svc 4" || e2e_fail "parts: the second run not RUNNING"
stop_within 30 "parts, the second run"
part() {   # what a part of the first run holds: its start, a dump line or its end
    grep -aq 'parts container: up' "$1" && echo up || { grep -aq 'Ctrl+Break\|thread dump' "$1" && echo dump; } ||
        { grep -aq 'exiting input flusher thread' "$1" && echo end; } || echo "[$(head -c 60 "$1" | tr -cd '[:print:]')]"
}
e2e_check "parts: the first run's three parts, oldest highest" "up dump end" "$(part "$log.3") $(part "$log.2") $(part "$log.1")"

# --- a rotated file that a viewer holds while it is compressed -----------------------

e2e_put "$svc" LogFileCompress true
rm -f "$log"*
printf 'held part\r\n' >"$log.1"
# Not through e2e_tool, whose tr would hold "held" back until the end.
wine "$E2E_SCRATCH/wintool.exe" hold "$AREA_WIN\\work\\$svc.out.1" 15 >"$E2E_SCRATCH/holder" 2>/dev/null &
e2e_wait 20 "grep -q held '$E2E_SCRATCH/holder'" || e2e_fail "held: the file is not held"
wine sc start "$svc" >/dev/null 2>&1
e2e_wait 20 "e2e_events | grep -q 'out.1 could not be replaced with its compressed copy; it is kept uncompressed'" ||
    e2e_fail "held: no warning"
e2e_check "held: the plain file alone while held" "$svc.out.1" "$(cd "$AREA/work" && ls "$svc".out.1*)"
wait
e2e_tool service control "$svc" 130 >/dev/null
e2e_wait 20 "[ -f '$log.2.gz' ] && [ -f '$log.1.gz' ] && [ ! -f '$log.2' ] && [ ! -f '$log.1' ]" ||
    e2e_fail "held: not compressed after the next rotation: $(cd "$AREA/work" && ls "$svc".out*)"
e2e_check "held: the held file, compressed once let go" "held part" "$(gunzip -c "$log.2.gz" | tr -d '\r')"
stop_within 30 held

e2e_remove_service "$svc"
rm -rf "$AREA"
wineserver -k >/dev/null 2>&1
e2e_finish
