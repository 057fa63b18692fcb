#!/usr/bin/env bash
# The benchmarks: builds what they need, runs talvex.exe as a service under
# Wine with the stand-in JVM of tools/fakejava as its children, and prints
# these figures, each against a reference measured in the same run:
#
#   1. log copy throughput, 100-byte and 8 KiB writes: talvex's copy of 20 MB of
#      container output into its log file, divided by what a plain reader
#      blocked in ReadFile moves through a pipe of the system's default size,
#      the reader running as a service as talvex does (median of the rounds'
#      ratios, with their spread); for 100-byte writes also the ratio of a
#      reader that reads a pipe of 1 MB only every 50 ms, which costs the
#      writer next to nothing: how far reading less can take the ratio;
#   2. stop latency: stop control to STOPPED, beyond the container's own time
#      from reading "shutdown" to its end (medians);
#   3. restart latency, with the restart throttle off: the container's exit
#      code 14 marker to the next container's start marker in the log, beyond
#      what a plain service takes from starting the launcher, through its end,
#      to the next container's start marker (medians);
#   4. dump latency: the thread dump control to talvex's attempt to send
#      Ctrl+Break, which Wine cannot deliver and which therefore leaves a
#      line in the log (median);
#   5. idle cost: CPU of talvex.exe, and of the Wine server beyond what it
#      spends for an idle reference service running the same quiet container,
#      per minute, over alternating idle windows of the two; beside it the
#      same figure for a reference that only writes talvex's keep-alive
#      newline to the container every 2 s.  In each window several services
#      of the same kind idle at once and the figure is their cost divided by
#      their number: the Wine server's own CPU drifts by some 20 ms a minute
#      from one window to the next, as much as one service costs it;
#   6. memory: resident memory of talvex.exe supervising a container, beyond
#      that of the idle reference service, and its growth while it runs.
#
# At its end it prints one table (figure, talvex, reference, target, met or
# not) and writes the figures as JSON to the file named on its last line, so
# that two runs can be compared by a script.
#
# Benchmarks are not tests: a figure that misses its target is shown as such
# and never fails the run.  The run fails (exit 1) only when a step cannot be
# carried out or talvex's log does not hold the container's output byte for
# byte.
#
# Usage: bash bench/run.sh
# Environment: TALVEX_BUILD_DIR (default build/mingw, the mingw preset's),
# BENCH_ROUNDS (5: copy rounds per write size, idle windows, dumps and stops
# of each side; three times as many restarts and runs of the children alone,
# which take a fraction of a second each),
# BENCH_VOLUME_BYTES (20971520), BENCH_IDLE_SECONDS (30, one idle window; one
# window per stop and side), BENCH_IDLE_SERVICES (6: services of one kind
# idle together in a window), BENCH_COPY_LIMIT_SECONDS (600: how long one copy
# may take before the run gives up), BENCH_KEEP (set: keep the samples and the
# Wine-side files for a look afterwards), BENCH_PARTS (default "copy quiet
# restart": which groups of figures to measure; the others print no figure).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

volume=${BENCH_VOLUME_BYTES:-20971520}
rounds=${BENCH_ROUNDS:-5}
restarts=$((rounds * 3))
idle_seconds=${BENCH_IDLE_SECONDS:-30}
idle_services=${BENCH_IDLE_SERVICES:-6}
copy_limit=${BENCH_COPY_LIMIT_SECONDS:-600}
parts=" ${BENCH_PARTS:-copy quiet restart} "
part() { [[ $parts == *" $1 "* ]]; }

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
keep_svc=TalvexBenchKeepAlive
kids_svc=TalvexBenchChildren
# The further services of each kind that idle beside the measured one.
extra_services() {
    local i
    for ((i = 2; i <= idle_services; i++)); do echo "$1$i"; done
}
# Every service the bench makes.
all_services() {
    echo "$svc" "$ref_svc" "$keep_svc" "$kids_svc" $(extra_services "$svc") $(extra_services "$ref_svc") \
        $(extra_services "$keep_svc")
}
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
    local name
    for name in $(all_services); do remove_service "$name"; done
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

# prefix_pids <pattern>: the Linux processes of the Windows programs of this
# prefix whose command lines match the pattern (other developers' Wine
# prefixes run the same programs), one pid a line.
prefix_pids() {
    local p
    for p in $(pgrep -f -- "$1" || true); do
        if { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "$p"
        fi
    done
}

# prefix_pid <pattern>: the first of them; fails when there is none.
prefix_pid() {
    local pids
    pids=$(prefix_pids "$1")
    [ -n "$pids" ] || return 1
    echo "${pids%%$'\n'*}"
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
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# spread: "lowest..highest" of the values on standard input.
spread() {
    sort -g | awk 'NR == 1 { low = $1 } { high = $1 } END { if (NR == 0) print "nan"; else print low ".." high }'
}

say "== preparing the Wine prefix and the services"
for name in $(all_services); do remove_service "$name"; done
rm -rf "$area"
mkdir -p "$area/jre/bin" "$work"
cp "$bin/fakejava/java.exe" "$area/jre/bin/java.exe"
cp "$build/bench/benchref.exe" "$area/benchref.exe"
for name in "$svc" $(extra_services "$svc"); do
    wine sc create "$name" binPath= "$bin_win\\talvex.exe" >/dev/null 2>&1 || die "sc create $name"
done
wine sc create "$kids_svc" binPath= "$area_win\\benchref.exe as-service $area_win\\request.txt $area_win\\measured.txt" \
    >/dev/null 2>&1 || die "sc create $kids_svc"
# The restart latency is measured with the restart throttle off.
for name in "$svc" $(extra_services "$svc"); do
    for value in "WorkingDirectory=$work_win" "JavaExe=$java_win" "OrvaneHome=$area_win" "UtilDir=$bin_win" \
        "ShutdownTimeoutSeconds=30" "RestartDelayMaxSeconds=0"; do
        wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Parameters" /v "${value%%=*}" /t REG_SZ \
            /d "${value#*=}" /f >/dev/null 2>&1 || die "reg add ${value%%=*}"
    done
done
# The children's command lines, as talvex's start script and launch command
# give them (the launcher's JVM options other than the two markers change
# nothing in the stand-in).
container_line=("$java_win" -Dlumora.mf.signal=true talvex.fakejava.Container "$work_win\\container.ini")
launcher_line=("$java_win" -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true
    com.lumora.mf.framework.agent.ci.LaunchContainer '.\container.ini')
for name in "$ref_svc" $(extra_services "$ref_svc"); do
    wine sc create "$name" binPath= "$area_win\\benchref.exe service ${container_line[*]}" >/dev/null 2>&1 ||
        die "sc create $name"
done
for name in "$keep_svc" $(extra_services "$keep_svc"); do
    wine sc create "$name" binPath= "$area_win\\benchref.exe keepalive-service ${container_line[*]}" >/dev/null 2>&1 ||
        die "sc create $name"
done

benchref() {
    (cd "$area" && wine benchref.exe "$@" 2>&1 | tr -d '\r')
}

# as_service <request line>: runs benchref's launch or container measurement
# as a service and prints what it measured.
as_service() {
    printf '%s\r\n' "$1" >"$area/request.txt"
    rm -f "$area/measured.txt"
    wine sc start "$kids_svc" >/dev/null 2>&1 || die "sc start $kids_svc"
    # Looking at the file costs next to nothing; asking the service manager
    # would start a Wine process beside the measurement.
    local i
    for ((i = 0; i < copy_limit * 10; i++)); do
        grep -qs '^done' "$area/measured.txt" && break
        sleep 0.1
    done
    wait_state "$kids_svc" 1 30 || die "$kids_svc did not finish its measurement"
    tr -d '\r' <"$area/measured.txt" | grep -v '^done$'
}

# boot <lines...>: the container's boot file, read by talvex's children and by
# the references alike.
boot() {
    printf '%s\r\n' name=bench "$@" >"$work/container.ini"
    rm -f "$work/container.ini.runs" "$work/container.ini.bat"
}

# start_talvex [<service>]: starts the service (talvex's own by default) on a
# fresh log file.
start_talvex() {
    local name=${1:-$svc}
    rm -f "$work/$name.out" "$work/$name.out.1"
    wine sc start "$name" >/dev/null 2>&1 || die "sc start $name"
}

# --- 1. throughput --------------------------------------------------------------------

# field <text> <name>: the value of name=value in a line of figures.
field() {
    printf '%s\n' "$1" | sed -n "s/.*\b$2=\([^ ]*\).*/\1/p"
}

mib_per_second() {
    awk -v b="$1" -v s="$2" 'BEGIN { printf "%.3f", b / s / 1048576 }'
}

# copy_round <size>: one reference run and one talvex run of the copy, right
# after each other; appends talvex's rate, the reference's and their ratio to
# the round files.  The reference's output is kept until the next round for
# the byte-for-byte check.
# reader_rate <mode> <size> <name>: runs benchref's pipe reader of that mode as
# a service and prints its rate; its output file stays for the next check.
reader_rate() {
    local out=$work/$3-$2.out result
    rm -f "$out"
    start_watch "$out" "$scratch/$3-$2.samples"
    as_service "$1 $work_win\\$3-$2.out $work_win ${container_line[*]}" >"$scratch/$3-$2.txt"
    grep -q '^bytes=' "$scratch/$3-$2.txt" || die "the $3 reader failed: $(cat "$scratch/$3-$2.txt")"
    sleep 0.2
    stop_watch
    result=$(perl bench/figures.pl volume "$scratch/$3-$2.samples" "$out" "$volume") ||
        die "$3 run, $2-byte writes: $result"
    mib_per_second "$(field "$result" bytes)" "$(field "$result" seconds)"
}

declare -A identical
copy_round() {
    local size=$1 ref_out=$work/reference-$1.out result ref_rate talvex_rate lazy_rate
    boot "container.output_bytes=$volume" "container.output_write_size=$size" container.end_after_ms=0
    # The watch must see the file grow from nothing.
    rm -f "$log"
    ref_rate=$(reader_rate pipe "$size" reference)
    # How fast small writes go when the reader costs the writer next to
    # nothing, against the same reference.
    if [ "$size" = 100 ]; then
        lazy_rate=$(reader_rate lazy-pipe "$size" lazy)
        rm -f "$work/lazy-$size.out"
        awk -v t="$lazy_rate" -v r="$ref_rate" 'BEGIN { printf "%.3f\n", t / r }' >>"$scratch/ceilings-$size"
    fi

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
    talvex_rate=$(mib_per_second "$(field "$result" bytes)" "$(field "$result" seconds)")
    echo "$talvex_rate" >>"$scratch/rates-$size"
    echo "$ref_rate" >>"$scratch/ref-rates-$size"
    awk -v t="$talvex_rate" -v r="$ref_rate" 'BEGIN { printf "%.3f\n", t / r }' >>"$scratch/ratios-$size"
}

# The machine is shared and its load drifts: each round runs the reference and
# talvex right after each other, and the median of the rounds' ratios is the
# figure.
# A figure of a part that is not measured stays "nan".
declare -A ratio ratio_spread rate ref_rate ceiling ceiling_spread
for size in 100 8192; do
    identical[$size]=yes ratio[$size]=nan ratio_spread[$size]=nan rate[$size]=nan ref_rate[$size]=nan
    ceiling[$size]=nan ceiling_spread[$size]=nan
done
for name in talvex_stop ref_service_stop talvex_dump dump_spread talvex_own talvex_server reference_own \
    reference_server idle_cost idle_spread keepalive_own keepalive_server keepalive_cost talvex_rss reference_rss idle_growth container_stop talvex_restart \
    restart_spread cycle_growth reference_restart reference_restart_spread; do
    printf -v "$name" nan
done

if part copy; then
say "== 1. log copy throughput ($volume bytes; $rounds rounds of the reference and talvex in turn)"
for size in 100 8192; do
    : >"$scratch/rates-$size"
    : >"$scratch/ref-rates-$size"
    : >"$scratch/ratios-$size"
    : >"$scratch/ceilings-$size"
    for ((round = 1; round <= rounds; round++)); do
        copy_round "$size"
    done
    rm -f "$work/reference-$size.out"
    if [ "${identical[$size]}" = yes ]; then
        ratio[$size]=$(median <"$scratch/ratios-$size")
        ratio_spread[$size]=$(spread <"$scratch/ratios-$size")
        rate[$size]=$(median <"$scratch/rates-$size")
        ref_rate[$size]=$(median <"$scratch/ref-rates-$size")
        [ -s "$scratch/ceilings-$size" ] && ceiling[$size]=$(median <"$scratch/ceilings-$size") &&
            ceiling_spread[$size]=$(spread <"$scratch/ceilings-$size")
    else
        ratio[$size]=nan ratio_spread[$size]=nan rate[$size]=nan ref_rate[$size]=nan
    fi
    say "   $size-byte writes: ratio ${ratio[$size]} (rounds ${ratio_spread[$size]}), talvex ${rate[$size]} MiB/s," \
        "reference ${ref_rate[$size]} MiB/s; log byte-identical: ${identical[$size]}"
done
fi

# --- 2, 4, 5 and 6: quiet containers: idle windows, a dump and a stop each ----------------

if part quiet; then
boot
wineserver_pid=$(prefix_pid 'wineserver') || die "no Wine server for $WINEPREFIX"

# idle_window <name> <pid>...: appends one window's CPU per minute (ms) of the
# processes and of the Wine server, each divided by the number of processes,
# to <name>-own and <name>-server, and the first process's resident memory
# (KiB) at the window's start and end to <name>-rss.
idle_window() {
    local name=$1 own0=0 own1=0 ws0 rss0 p
    shift
    rss0=$(rss_kib "$1")
    for p in "$@"; do own0=$((own0 + $(cpu_ns "$p"))); done
    ws0=$(cpu_ns "$wineserver_pid")
    sleep "$idle_seconds"
    for p in "$@"; do own1=$((own1 + $(cpu_ns "$p"))); done
    awk -v n="$((own1 - own0))" -v s="$idle_seconds" -v k=$# 'BEGIN { printf "%.2f\n", n / 1e6 * 60 / s / k }' \
        >>"$scratch/$name-own"
    awk -v n="$(($(cpu_ns "$wineserver_pid") - ws0))" -v s="$idle_seconds" -v k=$# \
        'BEGIN { printf "%.2f\n", n / 1e6 * 60 / s / k }' >>"$scratch/$name-server"
    echo "$rss0 $(rss_kib "$1")" >>"$scratch/$name-rss"
}

# quiet_run <service> <name>: starts the service and the further ones of its
# kind with the quiet container, measures an idle window of them all, stops
# the further ones, and then, for talvex, times a dump request, and times the
# service's stop.
quiet_run() {
    local service=$1 line pattern name pids
    for name in "$service" $(extra_services "$service"); do
        if [ "$service" = "$svc" ]; then
            start_talvex "$name"
        else
            wine sc start "$name" >/dev/null 2>&1 || die "sc start $name"
        fi
    done
    for name in "$service" $(extra_services "$service"); do
        if [ "$service" = "$svc" ]; then
            wait_for_bytes "$work/$name.out" '\x08' 30 || die "the container of $name did not start"
        fi
        wait_state "$name" 4 10 || die "$name is not RUNNING"
    done
    # talvex treats a container as quiet two seconds after its last output.
    sleep 3
    case $service in
    "$svc") pattern='talvex\.exe' ;;
    "$keep_svc") pattern='benchref\.exe keepalive-service' ;;
    *) pattern='benchref\.exe service' ;;
    esac
    # Every process supervises the same container; the first one's memory
    # is the figure.
    pids=$(prefix_pids "$pattern")
    [ "$(echo "$pids" | wc -w)" = "$idle_services" ] || die "$idle_services processes expected for $service: $pids"
    idle_window "$2" $pids
    for name in $(extra_services "$service"); do
        wine sc stop "$name" >/dev/null 2>&1 || die "sc stop $name"
    done
    for name in $(extra_services "$service"); do
        wait_state "$name" 1 30 || die "$name did not stop"
    done
    if [ "$service" = "$svc" ]; then
        line=$(benchref dump "$service" "$work_win\\$svc.out") || die "timed dump of $service: $line"
        echo "${line#dump ms=}" >>"$scratch/dumps"
        # The dump leaves the container quiet again; the stop comes from the
        # quiet state, like the first.
        sleep 3
    fi
    line=$(benchref stop "$service") || die "timed stop of $service: $line"
    echo "${line#stop ms=}" >>"$scratch/$2-stops"
}

say "== 2, 4, 5, 6. $rounds runs each of talvex and of the idle reference service, in turn, both with a"
say "   quiet container: an idle window of $idle_seconds s of $idle_services such services at once, for talvex a"
say "   dump request, and a stop"
for name in talvex reference keepalive; do
    : >"$scratch/$name-own"
    : >"$scratch/$name-server"
    : >"$scratch/$name-rss"
    : >"$scratch/$name-stops"
done
: >"$scratch/dumps"
for ((i = 1; i <= rounds; i++)); do
    quiet_run "$svc" talvex
    quiet_run "$ref_svc" reference
    quiet_run "$keep_svc" keepalive
done
talvex_stop=$(median <"$scratch/talvex-stops")
ref_service_stop=$(median <"$scratch/reference-stops")
talvex_dump=$(median <"$scratch/dumps")
dump_spread=$(spread <"$scratch/dumps")
talvex_own=$(median <"$scratch/talvex-own")
talvex_server=$(median <"$scratch/talvex-server")
reference_own=$(median <"$scratch/reference-own")
reference_server=$(median <"$scratch/reference-server")
# The Wine server's own activity (its other clients, timers) drifts from one
# window to the next by as much as one talvex costs it: the figure is talvex's
# own CPU plus the server's for talvex's windows over the server's for the
# reference's windows, each per service and the median of its windows.
idle_cost=$(awk -v o="$talvex_own" -v s="$talvex_server" -v r="$reference_server" \
    'BEGIN { printf "%.2f", o + s - r }')
# The same for the reference that only writes the keep-alive newline every
# 2 s: the part of the figure that any wrapper keeping a quiet child's input
# moving pays.
keepalive_own=$(median <"$scratch/keepalive-own")
keepalive_server=$(median <"$scratch/keepalive-server")
keepalive_cost=$(awk -v o="$keepalive_own" -v s="$keepalive_server" -v r="$reference_server" \
    'BEGIN { printf "%.2f", o + s - r }')
idle_spread="own $(spread <"$scratch/talvex-own"), server $(spread <"$scratch/talvex-server") against $(spread <"$scratch/reference-server")"
talvex_rss=$(awk '{ print $2 }' "$scratch/talvex-rss" | median)
reference_rss=$(awk '{ print $2 }' "$scratch/reference-rss" | median)
# Growth while a container runs: the largest over one idle window.
idle_growth=$(awk '{ g = $2 - $1; if (NR == 1 || g > m) m = g } END { print m + 0 }' "$scratch/talvex-rss")

say "== the container's own stop, as the child of a plain service"
as_service "container $rounds $work_win ${container_line[*]}" >"$scratch/container"
[ "$(grep -c 'stop_ms=' "$scratch/container")" = "$rounds" ] ||
    die "reference container runs: $(cat "$scratch/container")"
container_stop=$(sed -n 's/.*stop_ms=//p' "$scratch/container" | median)
fi

# --- 3. restarts -------------------------------------------------------------------------

if part restart; then
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
restart_spread=$(sed 's/restart ms=//' "$scratch/restarts" | spread)
cycle_growth=$((cycle_rss1 - cycle_rss0))
# The reference restart: a plain service runs the launcher to its end and the
# container to its start marker, as talvex does between the two markers.
boot
(cd "$work" && rm -f container.ini.bat container.ini.runs)
as_service "cycle $restarts $work_win ${launcher_line[*]}"$'\r\n'"${container_line[*]}" >"$scratch/cycle"
[ "$(grep -c 'cycle ms=' "$scratch/cycle")" = "$restarts" ] || die "reference restarts: $(cat "$scratch/cycle")"
reference_restart=$(sed 's/cycle ms=//' "$scratch/cycle" | median)
reference_restart_spread=$(sed 's/cycle ms=//' "$scratch/cycle" | spread)
fi

# --- the figures --------------------------------------------------------------------------

# beyond <talvex> <reference> <divisor> <format>: the difference, or nan.
beyond() {
    awk -v t="$1" -v r="$2" -v d="$3" -v f="$4" \
        'BEGIN { if (t == "nan" || r == "nan") print "nan"; else printf f "\n", (t - r) / d }'
}
stop_beyond=$(beyond "$talvex_stop" "$container_stop" 1 %.1f)
restart_beyond=$(beyond "$talvex_restart" "$reference_restart" 1 %.1f)
memory_beyond=$(beyond "$talvex_rss" "$reference_rss" 1024 %.2f)

# met <value> <op> <limit>
met() {
    awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
        if (v == "nan" || v == "") { print "no figure"; exit }
        print ((op == ">=") ? (v >= l) : (v <= l)) ? "yes" : "NO" }'
}

# The figures: key, what, talvex, reference, target operator and limit, unit.
figures=(
    "copy_100_ratio|log copy, 100-byte writes (ratio; rounds ${ratio_spread[100]}; a reader every 50 ms: ${ceiling[100]}, rounds ${ceiling_spread[100]})|${ratio[100]}|1.00|>=|1.2|"
    "copy_8192_ratio|log copy, 8 KiB writes (ratio; rounds ${ratio_spread[8192]})|${ratio[8192]}|1.00|>=|1.0|"
    "stop_ms|stop beyond the container's own $container_stop ms|$stop_beyond|0|<=|25|ms"
    "restart_ms|restart beyond a plain service's $reference_restart ms (rounds $restart_spread against $reference_restart_spread)|$restart_beyond|0|<=|30|ms"
    "dump_ms|dump request to the Ctrl+Break attempt (rounds $dump_spread)|$talvex_dump|0|<=|20|ms"
    "idle_cpu_ms_per_min|idle CPU, own + Wine server over the reference (windows: $idle_spread; the keep-alive newline alone $keepalive_cost)|$idle_cost|0|<=|20|ms/min"
    "memory_mib|resident memory above the reference|$memory_beyond|0|<=|2|MiB"
    "idle_growth_kib|memory growth over one idle window (largest)|$idle_growth|0|<=|0|KiB"
)

say ""
say "== figures (talvex against references measured in this run; medians of $rounds, of $restarts for the restart)"
printf '%-82s %10s %10s %10s  %s\n' figure talvex reference target met
for f in "${figures[@]}"; do
    IFS='|' read -r key what value reference op limit unit <<<"$f"
    printf '%-82s %10s %10s %10s  %s\n' "$what" "$value" "$reference" "$op $limit${unit:+ $unit}" \
        "$(met "$value" "$op" "$limit")"
done
say "details: stop control to STOPPED $talvex_stop ms (the idle reference service $ref_service_stop ms);" \
    "restart marker to start marker $talvex_restart ms; per service, $idle_services idle at once: talvex.exe" \
    "$talvex_own ms/min and the Wine server $talvex_server ms/min, reference service $reference_own ms/min and" \
    "the Wine server $reference_server ms/min, keep-alive reference $keepalive_own ms/min and the Wine server" \
    "$keepalive_server ms/min;" \
    "talvex.exe $talvex_rss KiB, reference service $reference_rss KiB; growth over restart cycles 2 to" \
    "$((restarts + 1)): $cycle_growth KiB; copy rates talvex ${rate[100]} / ${rate[8192]} MiB/s, reference" \
    "${ref_rate[100]} / ${ref_rate[8192]} MiB/s"

# json_number <value>: the value as a JSON number, or null for none.
json_number() {
    awk -v v="$1" 'BEGIN { print (v == "nan" || v == "") ? "null" : v + 0 }'
}

json=$build/bench/figures-$(date -u +%Y%m%dT%H%M%SZ).json
{
    printf '{\n  "rounds": %s,\n  "idle_services": %s,\n  "figures": {\n' "$rounds" "$idle_services"
    n=0
    for f in "${figures[@]}"; do
        IFS='|' read -r key what value reference op limit unit <<<"$f"
        n=$((n + 1))
        printf '    "%s": {"talvex": %s, "reference": %s, "target": "%s %s", "met": %s}%s\n' "$key" \
            "$(json_number "$value")" "$reference" \
            "$op" "$limit" "$([ "$(met "$value" "$op" "$limit")" = yes ] && echo true || echo false)" \
            "$([ "$n" -lt "${#figures[@]}" ] && echo ,)"
    done
    printf '  },\n  "details": {"stop_control_to_stopped_ms": %s, "reference_service_stop_ms": %s,\n' \
        "$(json_number "$talvex_stop")" "$(json_number "$ref_service_stop")"
    printf '    "restart_marker_to_start_ms": %s, "reference_restart_ms": %s,\n' \
        "$(json_number "$talvex_restart")" "$(json_number "$reference_restart")"
    printf '    "container_stop_ms": %s, "talvex_own_ms_per_min": %s, "talvex_server_ms_per_min": %s,\n' \
        "$(json_number "$container_stop")" "$(json_number "$talvex_own")" "$(json_number "$talvex_server")"
    printf '    "reference_own_ms_per_min": %s, "reference_server_ms_per_min": %s,\n' \
        "$(json_number "$reference_own")" "$(json_number "$reference_server")"
    printf '    "keepalive_reference_own_ms_per_min": %s, "keepalive_reference_server_ms_per_min": %s,\n' \
        "$(json_number "$keepalive_own")" "$(json_number "$keepalive_server")"
    printf '    "keepalive_reference_idle_cpu_ms_per_min": %s, "copy_100_lazy_reader_ratio": %s,\n' \
        "$(json_number "$keepalive_cost")" "$(json_number "${ceiling[100]}")"
    printf '    "talvex_rss_kib": %s, "reference_rss_kib": %s, "restart_cycles_growth_kib": %s}\n}\n' \
        "$(json_number "$talvex_rss")" "$(json_number "$reference_rss")" "$(json_number "$cycle_growth")"
} >"$json"

for size in 100 8192; do
    [ "${identical[$size]}" = yes ] || die "talvex's log does not hold the container's output ($size-byte writes)"
done
say "== the figures as JSON:"
say "$json"
