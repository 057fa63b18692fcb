#!/usr/bin/env bash
# The benchmarks: builds what they need, runs talvex.exe as a service under
# Wine with the stand-in JVM of tests/fakejava as its children, and prints five
# figures, each against a reference measured in the same run:
#
#   1. log copy throughput, 100-byte and 8 KiB writes: talvex's copy of 20 MB of
#      container output into its log file, divided by what a plain reader
#      blocked in ReadFile moves through a pipe of the system's default size;
#   2. stop latency: stop control to STOPPED, beyond the container's own time
#      from reading "shutdown" to its end (median);
#   3. restart latency: the container's exit code 14 marker to the next
#      container's start marker in the log, beyond the launcher's own run time
#      (median);
#   4. idle cost: CPU of talvex.exe, and of the Wine server beyond what it
#      spends for an idle reference service running the same quiet container,
#      per minute;
#   5. memory: resident memory of talvex.exe supervising a container, beyond
#      that of the idle reference service, and its growth while it runs.
#
# Benchmarks are not tests: a figure that misses its target is shown as such
# and never fails the run.  The run fails (exit 1) only when a step cannot be
# carried out or talvex's log does not hold the container's output byte for
# byte.
#
# Usage: bash bench/run.sh
# Environment: TALVEX_BUILD_DIR (default build/mingw, the mingw preset's),
# BENCH_VOLUME_BYTES (20971520), BENCH_STOPS (5), BENCH_RESTARTS (5),
# BENCH_COPY_ROUNDS (2), BENCH_IDLE_SECONDS (8, one idle window),
# BENCH_IDLE_WINDOWS (as many as stops, per side), BENCH_COPY_LIMIT_SECONDS
# (600: how long one copy may take before the run gives up), BENCH_KEEP (set:
# keep the samples and the Wine-side files for a look afterwards).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

volume=${BENCH_VOLUME_BYTES:-20971520}
stops=${BENCH_STOPS:-5}
restarts=${BENCH_RESTARTS:-5}
idle_seconds=${BENCH_IDLE_SECONDS:-8}
copy_limit=${BENCH_COPY_LIMIT_SECONDS:-600}

say() { printf '%s\n' "$*"; }
die() {
    say "bench: $*" >&2
    exit 1
}

# --- build ---------------------------------------------------------------------------

say "== setting up and building (only what is missing or changed)"
bash scripts/setup.sh
if [ -z "${TALVEX_BUILD_DIR:-}" ]; then
    build=$root/build/mingw
    cmake --preset mingw >/dev/null
else
    build=$(mkdir -p "$TALVEX_BUILD_DIR" && cd "$TALVEX_BUILD_DIR" && pwd)
    cmake --preset mingw -B "$build" >/dev/null
fi
cmake --build "$build" --target talvex talvexMSG talvexUtil fakejava >/dev/null
cmake -S bench -B "$build/bench" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/bench" >/dev/null
bin=$build/bin
[ -f "$bin/fakejava/java.exe" ] || die "the stand-in java.exe was not built"

# --- Wine, the area and the two services ----------------------------------------------

# shellcheck source=/dev/null
source scripts/wine-env.sh "$build"
svc=TalvexBench
ref_svc=TalvexBenchRef
area=$WINEPREFIX/drive_c/talvex-bench
area_win='C:\talvex-bench'
work=$area/work
work_win="$area_win\\work"
java_win="$area_win\\jre\\bin\\java.exe"
bin_win=$(wine winepath -w "$bin" 2>/dev/null | tr -d '\r')
log=$work/$svc.out
scratch=$(mktemp -d)
watcher=""

sc_state() {
    local line
    line=$(wine sc query "$1" 2>/dev/null | tr -d '\r' | grep -E '^ *STATE *:') || { echo none; return; }
    echo "$line" | awk -F: '{ split($2, v, " "); print v[1] }'
}

# wait_state <service> <state> <seconds>
wait_state() {
    local i
    for ((i = 0; i < $3 * 4; i++)); do
        [ "$(sc_state "$1")" = "$2" ] && return 0
        sleep 0.25
    done
    return 1
}

remove_service() {
    local state
    state=$(sc_state "$1")
    [ "$state" = none ] && return 0
    if [ "$state" != 1 ]; then
        wine sc stop "$1" >/dev/null 2>&1 || true
        wait_state "$1" 1 30 || true
    fi
    wine sc delete "$1" >/dev/null 2>&1 || true
    wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1" /f >/dev/null 2>&1 || true
}

stop_watch() {
    if [ -n "$watcher" ]; then
        kill -TERM "$watcher" 2>/dev/null || true
        wait "$watcher" 2>/dev/null || true
        watcher=""
    fi
}

cleanup() {
    stop_watch
    remove_service "$svc"
    remove_service "$ref_svc"
    if [ -n "${BENCH_KEEP:-}" ]; then
        say "bench: kept $scratch and $area"
    else
        rm -rf "$scratch" "$area"
    fi
    talvex_wine_stop
}
trap cleanup EXIT

# start_watch <file> <samples file>: records the file's growth in the background.
start_watch() {
    perl "$root/bench/watch.pl" "$1" "$2" "$copy_limit" &
    watcher=$!
}

# wait_for_bytes <file> <perl regex> <seconds>: 0 once the file matches.
wait_for_bytes() {
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        [ -f "$1" ] && PATTERN=$2 perl -0777 -ne 'exit(/$ENV{PATTERN}/ ? 0 : 1)' "$1" && return 0
        sleep 0.05
    done
    return 1
}

# wait_for_end <file> <seconds>: 0 once the end of the file holds a container's
# "ending by itself" line and its exit marker.  Only the file's tail is read, so
# that the wait takes next to nothing from the copy it waits for.
wait_for_end() {
    local i
    for ((i = 0; i < $2 * 5; i++)); do
        [ -f "$1" ] && tail -c 200 "$1" | perl -0777 -ne 'exit(/ending by itself\r\n\a0\a/ ? 0 : 1)' && return 0
        sleep 0.2
    done
    return 1
}

# The Linux process of a Windows program of this prefix whose command line
# matches the pattern (other developers' Wine prefixes run the same programs).
prefix_pid() {
    local p
    for p in $(pgrep -f -- "$1" || true); do
        if { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# CPU time of all of a process's threads, in nanoseconds.
cpu_ns() {
    local t a sum=0
    for t in /proc/"$1"/task/*/schedstat; do
        read -r a _ <"$t" 2>/dev/null || continue
        sum=$((sum + a))
    done
    echo "$sum"
}

rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

say "== preparing the Wine prefix and the services"
remove_service "$svc"
remove_service "$ref_svc"
rm -rf "$area"
mkdir -p "$area/jre/bin" "$work"
cp "$bin/fakejava/java.exe" "$area/jre/bin/java.exe"
cp "$build/bench/benchref.exe" "$area/benchref.exe"
wine sc create "$svc" binPath= "$bin_win\\talvex.exe" >/dev/null 2>&1 || die "sc create $svc"
# The restart latency is measured with the restart throttle off.
for value in "WorkingDirectory=$work_win" "JavaExe=$java_win" "OrvaneHome=$area_win" "UtilDir=$bin_win" \
    "ShutdownTimeoutSeconds=30" "RestartDelayMaxSeconds=0"; do
    wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v "${value%%=*}" /t REG_SZ \
        /d "${value#*=}" /f >/dev/null 2>&1 || die "reg add ${value%%=*}"
done
# The children's command lines, as talvex's start script and launch command
# give them (the launcher's JVM options other than the two markers change
# nothing in the stand-in).
container_line=("$java_win" -Dlumora.mf.signal=true talvex.fakejava.Container "$work_win\\container.ini")
launcher_line=("$java_win" -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true
    com.lumora.mf.framework.agent.ci.LaunchContainer '.\container.ini')
wine sc create "$ref_svc" binPath= "$area_win\\benchref.exe service ${container_line[*]}" >/dev/null 2>&1 ||
    die "sc create $ref_svc"

benchref() {
    (cd "$area" && wine benchref.exe "$@" 2>&1 | tr -d '\r')
}

# boot <lines...>: the container's boot file, read by talvex's children and by
# the references alike.
boot() {
    printf '%s\r\n' name=bench "$@" >"$work/container.ini"
    rm -f "$work/container.ini.runs" "$work/container.ini.bat"
}

# start_talvex: starts the service on a fresh log file.
start_talvex() {
    rm -f "$log" "$log.1"
    wine sc start "$svc" >/dev/null 2>&1 || die "sc start $svc"
}

# --- 1. throughput --------------------------------------------------------------------

# field <text> <name>: the value of name=value in a line of figures.
field() {
    printf '%s\n' "$1" | sed -n "s/.*\b$2=\([^ ]*\).*/\1/p"
}

mib_per_second() {
    awk -v b="$1" -v s="$2" 'BEGIN { printf "%.3f", b / s / 1048576 }'
}

# higher <a> <b>: the larger of two rates ("" counts as none).
higher() {
    awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN { printf "%.3f", (a > b) ? a : b }'
}

# copy_round <size>: one reference run and one talvex run of the copy; keeps
# each side's best rate in rate[ref<size>] and rate[<size>].  The reference's
# output is kept until the next round for the byte-for-byte check.
declare -A rate ratio identical
copy_round() {
    local size=$1 ref_out=$work/reference-$1.out result
    boot "container.output_bytes=$volume" "container.output_write_size=$size" container.end_after_ms=0
    # The watch must see the file grow from nothing.
    rm -f "$ref_out" "$log"

    start_watch "$ref_out" "$scratch/ref-$size.samples"
    benchref pipe "$work_win\\reference-$size.out" "$work_win" "${container_line[@]}" >"$scratch/ref-$size.txt" ||
        die "the reference reader failed: $(cat "$scratch/ref-$size.txt")"
    sleep 0.2
    stop_watch
    result=$(perl bench/figures.pl volume "$scratch/ref-$size.samples" "$ref_out" "$volume") ||
        die "reference run, $size-byte writes: $result"
    rate[ref$size]=$(higher "${rate[ref$size]:-}" "$(mib_per_second "$(field "$result" bytes)" "$(field "$result" seconds)")")

    start_watch "$log" "$scratch/talvex-$size.samples"
    start_talvex
    wait_for_end "$log" "$copy_limit" ||
        die "talvex did not copy the volume within $copy_limit s"
    wait_state "$svc" 1 30 || die "$svc did not stop after its container ended"
    stop_watch
    local rc=0
    result=$(perl bench/figures.pl volume "$scratch/talvex-$size.samples" "$log" "$volume" "$ref_out") || rc=$?
    [ "$rc" = 2 ] && die "talvex run, $size-byte writes: ${result#error=}"
    if [ "$rc" != 0 ]; then
        identical[$size]="NO: ${result#error=}"
        return
    fi
    rate[$size]=$(higher "${rate[$size]:-}" "$(mib_per_second "$(field "$result" bytes)" "$(field "$result" seconds)")")
}

# The machine is shared: each side's best of the rounds, which alternate, is
# the run least disturbed by others.
copy_rounds=${BENCH_COPY_ROUNDS:-2}
say "== 1. log copy throughput ($volume bytes; best of $copy_rounds alternating rounds of the reference and talvex)"
for size in 100 8192; do
    identical[$size]=yes
    for ((round = 1; round <= copy_rounds; round++)); do
        copy_round "$size"
    done
    rm -f "$work/reference-$size.out"
    if [ "${identical[$size]}" = yes ]; then
        ratio[$size]=$(awk -v t="${rate[$size]}" -v r="${rate[ref$size]}" 'BEGIN { printf "%.2f", t / r }')
    else
        rate[$size]=nan
        ratio[$size]=nan
    fi
    say "   $size-byte writes: talvex ${rate[$size]} MiB/s, reference ${rate[ref$size]} MiB/s," \
        "ratio ${ratio[$size]}; log byte-identical: ${identical[$size]}"
done

# --- 2, 4 and 5: stops of a quiet container, with idle windows before them ----------------

boot
wineserver_pid=$(prefix_pid 'wineserver') || die "no Wine server for $WINEPREFIX"

# idle_window <pid> <name>: adds one window's CPU (ns) of the process and of
# the Wine server to <name>_own_ns and <name>_server_ns, records the process's
# resident memory at the window's end in <name>_rss (KiB) and keeps the
# largest growth of it over one window in <name>_growth.
idle_window() {
    local pid=$1 own0 ws0 rss0 rss1
    rss0=$(rss_kib "$pid")
    own0=$(cpu_ns "$pid")
    ws0=$(cpu_ns "$wineserver_pid")
    sleep "$idle_seconds"
    eval "${2}_own_ns=\$(( ${2}_own_ns + $(cpu_ns "$pid") - own0 ))"
    eval "${2}_server_ns=\$(( ${2}_server_ns + $(cpu_ns "$wineserver_pid") - ws0 ))"
    rss1=$(rss_kib "$pid")
    eval "${2}_rss=$rss1"
    eval "[ \$(( rss1 - rss0 )) -gt \$${2}_growth ] && ${2}_growth=\$(( rss1 - rss0 ))" || true
}
talvex_own_ns=0 talvex_server_ns=0 reference_own_ns=0 reference_server_ns=0
talvex_growth=-999999 reference_growth=-999999
# The Wine server's own activity drifts over minutes: the idle windows of
# talvex and of the reference alternate, so that the drift falls on both.
idle_windows=${BENCH_IDLE_WINDOWS:-$stops}

# one_stop <service> <samples file> <window name or "">: starts the service
# with the quiet container, optionally measures an idle window, and times one
# stop.
one_stop() {
    local service=$1 line pid
    if [ "$service" = "$svc" ]; then
        start_talvex
        wait_for_bytes "$log" '\x08' 30 || die "talvex's container did not start"
    else
        wine sc start "$service" >/dev/null 2>&1 || die "sc start $service"
    fi
    wait_state "$service" 4 10 || die "$service is not RUNNING"
    # talvex treats a container as quiet two seconds after its last output.
    sleep 3
    if [ -n "$3" ]; then
        if [ "$service" = "$svc" ]; then
            pid=$(prefix_pid 'talvex\.exe') || die "no talvex.exe process"
        else
            pid=$(prefix_pid 'benchref\.exe service') || die "no reference service process"
        fi
        idle_window "$pid" "$3"
    fi
    line=$(benchref stop "$service") || die "timed stop of $service: $line"
    echo "${line#stop ms=}" >>"$2"
}

say "== 2, 4, 5. $stops stops each of talvex and of the idle reference service, both with a quiet"
say "   container; idle windows of $idle_seconds s in the first $idle_windows runs of each"
: >"$scratch/stops"
: >"$scratch/ref-stops"
for ((i = 1; i <= stops; i++)); do
    window=""
    [ "$i" -le "$idle_windows" ] && window=talvex
    one_stop "$svc" "$scratch/stops" "$window"
    [ "$i" -le "$idle_windows" ] && window=reference
    one_stop "$ref_svc" "$scratch/ref-stops" "$window"
done
talvex_stop=$(median <"$scratch/stops")
ref_service_stop=$(median <"$scratch/ref-stops")
per_minute() {   # per_minute <ns over all windows>
    awk -v n="$1" -v s="$((idle_seconds * idle_windows))" 'BEGIN { printf "%.1f", n / 1e6 * 60 / s }'
}
talvex_own=$(per_minute "$talvex_own_ns")
talvex_server=$(per_minute "$talvex_server_ns")
reference_own=$(per_minute "$reference_own_ns")
reference_server=$(per_minute "$reference_server_ns")

say "== the container's own stop, without any service around it"
benchref container "$stops" "$work_win" "${container_line[@]}" >"$scratch/container" ||
    die "reference container runs: $(cat "$scratch/container")"
container_stop=$(sed -n 's/.*stop_ms=//p' "$scratch/container" | median)
container_start=$(sed -n 's/.*start_ms=\([0-9.]*\).*/\1/p' "$scratch/container" | median)

# --- 3. restarts -------------------------------------------------------------------------

say "== 3. $restarts restarts of talvex's container"
boot "container.restarts=$restarts" container.restart_after_ms=300
start_watch "$log" "$scratch/restart.samples"
start_talvex
# The first cycle touches code and data for the first time; memory is
# compared from the second container's start on.
wait_for_bytes "$log" '(?s)\x0714\x07.*?\x08' 30 || die "talvex's second container did not start"
talvex_pid=$(prefix_pid 'talvex\.exe') || die "no talvex.exe process"
cycle_rss0=$(rss_kib "$talvex_pid")
wait_for_bytes "$log" "(?s)(?:\\x0714\\x07.*?\\x08.*?){$restarts}" $((restarts * 10 + 20)) ||
    die "talvex did not restart its container $restarts times"
sleep 0.5
cycle_rss1=$(rss_kib "$talvex_pid")
stop_watch
line=$(benchref stop "$svc") || die "stop after the restarts: $line"
perl bench/figures.pl restarts "$scratch/restart.samples" "$log" >"$scratch/restarts"
[ "$(grep -c . "$scratch/restarts")" = "$restarts" ] || die "expected $restarts restarts: $(cat "$scratch/restarts")"
talvex_restart=$(sed 's/restart ms=//' "$scratch/restarts" | median)
(cd "$work" && rm -f container.ini.bat)
benchref launch "$restarts" "$work_win" "${launcher_line[@]}" >"$scratch/launch" ||
    die "reference launcher runs: $(cat "$scratch/launch")"
launcher_run=$(sed 's/launch ms=//' "$scratch/launch" | median)

# --- the figures --------------------------------------------------------------------------

verdict() {   # verdict <value> <op> <limit>
    awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
        if (v == "nan") { print "no figure"; exit }
        ok = (op == ">=") ? (v >= l) : (v <= l)
        print ok ? "meets the target" : "MISSES the target" }'
}

stop_beyond=$(awk -v t="$talvex_stop" -v c="$container_stop" 'BEGIN { printf "%.1f", t - c }')
restart_beyond=$(awk -v t="$talvex_restart" -v l="$launcher_run" 'BEGIN { printf "%.1f", t - l }')
idle_cost=$(awk -v o="$talvex_own" -v s="$talvex_server" -v r="$reference_server" 'BEGIN { printf "%.1f", o + s - r }')
memory_beyond=$(awk -v t="$talvex_rss" -v r="$reference_rss" 'BEGIN { printf "%.2f", (t - r) / 1024 }')
idle_growth=$talvex_growth
cycle_growth=$((cycle_rss1 - cycle_rss0))

say ""
say "== figures (talvex against references measured in this run)"
say "1. log copy throughput, 100-byte writes: ratio ${ratio[100]} (talvex ${rate[100]} MiB/s," \
    "plain blocking reader ${rate[ref100]} MiB/s); log byte-identical: ${identical[100]};" \
    "target >= 0.9: $(verdict "${ratio[100]}" '>=' 0.9)"
say "   log copy throughput, 8 KiB writes:    ratio ${ratio[8192]} (talvex ${rate[8192]} MiB/s," \
    "plain blocking reader ${rate[ref8192]} MiB/s); log byte-identical: ${identical[8192]};" \
    "target >= 0.9: $(verdict "${ratio[8192]}" '>=' 0.9)"
say "2. stop latency: $stop_beyond ms beyond the container's own time (median of $stops: control to" \
    "STOPPED $talvex_stop ms; container from \"shutdown\" to its end $container_stop ms; the idle" \
    "reference service $ref_service_stop ms); target <= 150 ms: $(verdict "$stop_beyond" '<=' 150)"
say "3. restart latency: $restart_beyond ms beyond the launcher's own run time (median of $restarts:" \
    "exit code 14 marker to the next start marker $talvex_restart ms; launcher run $launcher_run ms;" \
    "container from its creation to its start marker $container_start ms); target <= 150 ms:" \
    "$(verdict "$restart_beyond" '<=' 150)"
say "4. idle cost: $idle_cost ms of CPU per minute (talvex.exe $talvex_own ms/min, Wine server" \
    "$talvex_server ms/min; reference service $reference_own ms/min, Wine server $reference_server" \
    "ms/min); target <= 60 ms: $(verdict "$idle_cost" '<=' 60)"
say "5. memory: $memory_beyond MiB above the idle reference (talvex.exe $talvex_rss KiB, reference" \
    "service $reference_rss KiB); largest growth over one idle window $idle_growth KiB (over" \
    "restart cycles 2 to $((restarts + 1)): $cycle_growth KiB); target <= 4 MiB and no growth while the" \
    "container runs: $(awk -v m="$memory_beyond" -v a="$idle_growth" 'BEGIN {
        print (m <= 4 && a <= 0) ? "meets the target" : "MISSES the target" }')"

for size in 100 8192; do
    [ "${identical[$size]}" = yes ] || die "talvex's log does not hold the container's output ($size-byte writes)"
done
exit 0
