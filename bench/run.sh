#!/usr/bin/env bash
# The benchmarks: builds what they need, runs talvex.exe as a service under
# Wine with the stand-in JVM of tools/fakejava as its children, and measures
# each figure against a reference measured in the same run (the README's
# "Benchmarks" says what each one is):
#
#   copy     the log copy of 20 MB in 100-byte and in 8 KiB writes, against a
#            reader blocked in ReadFile and a reader that reads every 50 ms;
#            talvex.exe's CPU per MiB against that of the second; the copy
#            with rotation on against the copy without;
#   quiet    idle windows of several services of a kind idling at once
#            (talvex, a plain reference service, a reference that only
#            writes the keep-alive newline), memory, a dump request and a
#            stop (against the keep-alive reference's, which reports
#            STOP_PENDING after "shutdown" and writes an event and a log line
#            before STOPPED, as talvex does); the container's
#            own stop; a resting service's memory between its first timed
#            wake and the next;
#   restart  the restart from the container's request to the next start
#            marker, against a plain service that runs the same children;
#   start    the start from the control to the container's start marker,
#            against a plain service that runs the same children;
#   scale    idle windows of 24 talvex services and of 24 references.
#
# This script only drives Wine, the service manager and the services; the
# samples go to one file, and bench/figures.py turns them into the figures,
# prints the table (figure, talvex, reference, target, met or not) and
# writes the JSON file named on the last line, so that two runs can be
# compared by a script.
#
# Benchmarks are not tests: a figure that misses its target is shown as such
# and never fails the run.  The run fails (exit 1) only when a step cannot be
# carried out or talvex's log does not hold the container's output byte for
# byte.
#
# Usage: bash bench/run.sh
# Environment: BENCH_QUICK (set: a smoke run of every part but scale, once,
# with short windows and 8 MiB copies, in under three minutes),
# TALVEX_BUILD_DIR (default build/mingw, the mingw preset's), BENCH_TALVEX_EXE
# (another build's talvex.exe to measure, for a before and after; the
# build's own by default), BENCH_ROUNDS
# (5: copy rounds per write size, starts of each side; three times as many
# restarts), BENCH_IDLE_ROUNDS (6: idle windows of each kind, each with a
# dump and a stop), BENCH_IDLE_SECONDS (30: one idle window),
# BENCH_IDLE_SERVICES (6: services of one kind idle together in a window),
# BENCH_SCALE_SERVICES (24) and BENCH_SCALE_ROUNDS (1: windows of that many
# of each kind), BENCH_VOLUME_BYTES (20971520; the 8 KiB copy moves
# BENCH_LARGE_VOLUME_BYTES, ten times as much by default),
# BENCH_COPY_LIMIT_SECONDS (600: how long one copy may take before the run
# gives up), BENCH_KEEP
# (set: keep the samples and the Wine-side files for a look afterwards),
# BENCH_PARTS (default "copy quiet restart start scale": which parts to
# measure; the figures of the others are shown as missing), BENCH_FOCUS
# (figures' JSON keys, separated by commas: a focused run that measures only
# what decides them, round after round for as long as BENCH_FOCUS_MINUTES,
# 25 by default, holds; for the figures whose rounds spread wider than their
# margin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -n "${BENCH_QUICK:-}" ]; then
    rounds=${BENCH_ROUNDS:-1}
    idle_rounds=${BENCH_IDLE_ROUNDS:-1}
    idle_seconds=${BENCH_IDLE_SECONDS:-5}
    volume=${BENCH_VOLUME_BYTES:-8388608}
    parts=" ${BENCH_PARTS:-copy quiet restart start} "
else
    rounds=${BENCH_ROUNDS:-5}
    idle_rounds=${BENCH_IDLE_ROUNDS:-6}
    idle_seconds=${BENCH_IDLE_SECONDS:-30}
    volume=${BENCH_VOLUME_BYTES:-20971520}
    parts=" ${BENCH_PARTS:-copy quiet restart start scale} "
fi
restarts=$((rounds * 3))
# The 8 KiB copy moves ten times the volume: at some 50 MB/s 20 MB pass in
# under half a second, where one pause of the machine moves a round's ratio
# by half.
large_volume=${BENCH_LARGE_VOLUME_BYTES:-$((volume * 10))}
volume_of() { if [ "$1" = 8192 ]; then echo "$large_volume"; else echo "$volume"; fi; }
idle_services=${BENCH_IDLE_SERVICES:-6}
scale_services=${BENCH_SCALE_SERVICES:-24}
scale_rounds=${BENCH_SCALE_ROUNDS:-1}
copy_limit=${BENCH_COPY_LIMIT_SECONDS:-600}
part() { [[ $parts == *" $1 "* ]]; }
# took: how long the run has taken so far, for the end of each part.
took() { say "   (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }

say() { printf '%s\n' "$*"; }
die() {
    say "bench: $*" >&2
    exit 1
}
# Debian's Python, which scripts/setup.sh installs: a python3 earlier on the
# PATH may be a version manager's shim that takes seconds to start.
figures_py=(/usr/bin/python3 "$root/bench/figures.py")
figures() { "${figures_py[@]}" "$@"; }

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

# --- Wine, the area and the services ----------------------------------------------------

# shellcheck source=/dev/null
source scripts/wine-env.sh "$build"
svc=TalvexBench
rot_svc=TalvexBenchRotation
gz_svc=TalvexBenchCompressed
ref_svc=TalvexBenchRef
keep_svc=TalvexBenchKeepAlive
kids_svc=TalvexBenchChildren
most_services=$((idle_services > scale_services ? idle_services : scale_services))
# kind <service> <count>: the service and the further ones of its kind that
# idle beside it, <count> in all.
kind() {
    local i
    echo "$1"
    for ((i = 2; i <= $2; i++)); do echo "$1$i"; done
}
all_services() {
    echo $(kind "$svc" "$most_services") "$rot_svc" "$gz_svc" $(kind "$ref_svc" "$most_services") \
        $(kind "$keep_svc" "$idle_services") "$kids_svc"
}
area=$WINEPREFIX/drive_c/talvex-bench
area_win='C:\talvex-bench'
work=$area/work
work_win="$area_win\\work"
java_win="$area_win\\jre\\bin\\java.exe"
bin_win=$(wine winepath -w "$bin" 2>/dev/null | tr -d '\r')
# The talvex.exe measured, and the pattern that finds its processes.
talvex_exe=${BENCH_TALVEX_EXE:-$bin/talvex.exe}
[ -f "$talvex_exe" ] || die "no $talvex_exe"
talvex_win=$(wine winepath -w "$talvex_exe" 2>/dev/null | tr -d '\r')
talvex_pattern=$(basename "$talvex_exe" | sed 's/\./\\./g')
scratch=$(mktemp -d)
samples=$scratch/samples
watcher=""

wintool() {
    (cd "$area" && wine wintool.exe "$@" 2>&1 | tr -d '\r')
}
benchref() {
    (cd "$area" && wine benchref.exe "$@" 2>&1 | tr -d '\r')
}

sc_state() { talvex_sc "$1" STATE; }

# wait_state <service> <state> <seconds>
wait_state() {
    local i
    for ((i = 0; i < $3 * 4; i++)); do
        [ "$(sc_state "$1")" = "$2" ] && return 0
        sleep 0.25
    done
    return 1
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
    [ -f "$area/wintool.exe" ] && wintool services delete $(all_services) >/dev/null
    if [ -n "${BENCH_KEEP:-}" ]; then
        say "bench: kept $scratch and $area"
    else
        rm -rf "$scratch" "$area"
    fi
    talvex_wine_stop
}
trap cleanup EXIT

# start_watch <file> <samples file> [<process pattern>]: records the file's
# growth (and the CPU time of the process that matches) in the background.
start_watch() {
    rm -f "$2"
    # Started directly, not through the function, so that $! is the watch.
    "${figures_py[@]}" watch "$1" "$2" "$copy_limit" ${3:+"$3"} &
    watcher=$!
    # The watch makes its samples file when it starts looking.
    local i
    for ((i = 0; i < 100; i++)); do
        [ -e "$2" ] && return 0
        sleep 0.05
    done
    die "the watch of $1 did not start"
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

# first_pid <pattern>: the first of them.  sed reads them all: head would
# leave early, and the next line's write would fail the pipe (and the run,
# under pipefail).
first_pid() { prefix_pids "$1" | sed -n 1p; }

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

# Reads and writes of a process so far.  The Wine server reads each request
# and writes each reply, while its own timer (it wakes every 16 ms) does
# neither: the count is the server's work for its clients, free of the drift
# of its CPU time.
syscalls() {
    awk '/^sysc[rw]:/ { n += $2 } END { print n }' "/proc/$1/io"
}

# record <word> <key=value>...: one line of the samples file.
record() {
    echo "$*" >>"$samples"
}

say "== preparing the Wine prefix and the services"
rm -rf "$area"
mkdir -p "$area/jre/bin" "$work"
cp "$bin/fakejava/java.exe" "$area/jre/bin/java.exe"
cp "$build/bench/benchref.exe" "$build/bench/wintool.exe" "$area/"
wintool services delete $(all_services) >/dev/null || die "could not remove the services of an earlier run"
# The children's command lines, as talvex's start script and launch command
# give them (the launcher's JVM options other than the two markers change
# nothing in the stand-in).
container_line=("$java_win" -Dlumora.mf.signal=true talvex.fakejava.Container "$work_win\\container.ini")
launcher_line=("$java_win" -Dlumora.mf.signal=true -Dlumora.mf.allowRestart=true
    com.lumora.mf.framework.agent.ci.LaunchContainer '.\container.ini')
# The restart latency is measured with the restart throttle off.
talvex_parameters="WorkingDirectory=$work_win	JavaExe=$java_win	OrvaneHome=$area_win	UtilDir=$bin_win"
talvex_parameters+="	ShutdownTimeoutSeconds=30	RestartDelayMaxSeconds=0"
{
    for name in $(kind "$svc" "$most_services"); do
        printf '%s\t%s\t%s\r\n' "$name" "$talvex_win" "$talvex_parameters"
    done
    printf '%s\t%s\t%s\tLogFileMaxMegabytes=1\tLogFileGenerations=5\r\n' "$rot_svc" "$talvex_win" \
        "$talvex_parameters"
    printf '%s\t%s\t%s\tLogFileMaxMegabytes=1\tLogFileGenerations=5\tLogFileCompress=true\r\n' "$gz_svc" \
        "$talvex_win" "$talvex_parameters"
    for name in $(kind "$ref_svc" "$most_services"); do
        printf '%s\t%s\r\n' "$name" "$area_win\\benchref.exe service ${container_line[*]}"
    done
    for name in $(kind "$keep_svc" "$idle_services"); do
        printf '%s\t%s\r\n' "$name" "$area_win\\benchref.exe keepalive-service ${container_line[*]}"
    done
    printf '%s\t%s\r\n' "$kids_svc" "$area_win\\benchref.exe as-service $area_win\\request.txt $area_win\\measured.txt"
} >"$area/services.txt"
wintool services create services.txt || die "could not create the services"
record settings rounds="$rounds" idle_rounds="$idle_rounds" idle_services="$idle_services" \
    scale_services="$scale_services" idle_seconds="$idle_seconds" volume="$volume" large_volume="$large_volume"

# as_service <request line>: runs benchref's measurement as a service and
# prints what it measured.
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

# start_talvex <service>...: starts the services, each on a fresh log file
# (without any rotated generations).
start_talvex() {
    local name said
    for name in "$@"; do rm -f "$work/$name.out" "$work/$name.out".*; done
    said=$(wintool services start "$@") || die "could not start $*: $said"
}

# --- copy ---------------------------------------------------------------------------

declare -A identical=([100]=yes [8192]=yes)

# copy_run <size> <round> <reader> <request>: runs benchref's pipe reader of
# that mode as a service and records its rate; its output file stays for the
# check of talvex's.
copy_run() {
    local out=$work/$3-$1.out result pattern=""
    rm -f "$out"
    # The CPU time per MiB is compared for 100-byte writes.
    [ "$1" = 100 ] && pattern='benchref\.exe as-service'
    start_watch "$out" "$scratch/$3-$1.samples" "$pattern"
    as_service "$4 $work_win\\$3-$1.out $work_win ${container_line[*]}" >"$scratch/$3-$1.txt"
    grep -q '^bytes=' "$scratch/$3-$1.txt" || die "the $3 reader failed: $(cat "$scratch/$3-$1.txt")"
    sleep 0.2
    stop_watch
    result=$(figures volume "$scratch/$3-$1.samples" "$out" "$(volume_of "$1")") || die "$3 run, $1-byte writes: $result"
    record copy size="$1" round="$2" reader="$3" $result
}

# talvex_copy <size> <round> <reader> <service>: the same copy through talvex
# as the service, checked against the reference reader's output.
talvex_copy() {
    local log=$work/$4.out result rc=0 pattern=""
    [ "$1" = 100 ] && pattern=$talvex_pattern
    rm -f "$log" "$log".*
    start_watch "$log" "$scratch/$3-$1.samples" "$pattern"
    start_talvex "$4"
    figures wait "$log" 'ending by itself\r\n\x070\x07' "$copy_limit" 200 ||
        die "$4 did not copy the volume within $copy_limit s"
    wait_state "$4" 1 30 || die "$4 did not stop after its container ended"
    stop_watch
    result=$(figures volume "$scratch/$3-$1.samples" "$log" "$(volume_of "$1")" "$work/reference-$1.out") || rc=$?
    [ "$rc" = 2 ] && die "$3 run, $1-byte writes: ${result#error=}"
    if [ "$rc" != 0 ]; then
        identical[$1]="NO ($3): ${result#error=}"
        record mismatch size="$1"
        return
    fi
    record copy size="$1" round="$2" reader="$3" $result
}

# The copy variants of talvex with 100-byte writes, each beside talvex's
# plain copy in every round: rotation at 1 MiB, and the same rotation with
# every rotated generation compressed on talvex's background thread.
copy_variants=(rotation:"$rot_svc" compressed:"$gz_svc")

# copy_round <size> <round> [variants]: one round of a write size: the
# references and talvex right after each other (the machine is shared and its
# load drifts: every ratio is taken within a round); with "variants", the
# copy variants after talvex's plain copy.
copy_round() {
    local size=$1 round=$2 variant
    boot "container.output_bytes=$(volume_of "$size")" "container.output_write_size=$size" container.end_after_ms=0
    copy_run "$size" "$round" reference pipe
    # How fast small writes go when the reader costs the writer next to
    # nothing, against the same reference.
    if [ "$size" = 100 ]; then
        copy_run "$size" "$round" lazy lazy-pipe
        rm -f "$work/lazy-$size.out"
    fi
    talvex_copy "$size" "$round" talvex "$svc"
    if [ "$size" = 100 ] && [ "${3:-}" = variants ]; then
        for variant in "${copy_variants[@]}"; do
            talvex_copy "$size" "$round" "${variant%%:*}" "${variant#*:}"
        done
    fi
}

# copy_done <size>: what the copies of a write size left, and whether
# talvex's log held the container's output byte for byte.
copy_done() {
    rm -f "$work/reference-$1.out"
    say "   $1-byte writes: log byte-identical: ${identical[$1]}"
}

# --- quiet containers: idle windows, a dump and a stop each ----------------------------

# idle_window <kind> <round> <pid>...: records one window's CPU of the
# processes and of the Wine server, and the processes' resident memory (the
# first one's also at the window's start).
idle_window() {
    local kind=$1 round=$2 own0=0 own1=0 ws0 ws1 calls0 calls1 t0 t1 rss0 rss p
    shift 2
    rss0=$(rss_kib "$1")
    for p in "$@"; do own0=$((own0 + $(cpu_ns "$p"))); done
    ws0=$(cpu_ns "$wineserver_pid")
    calls0=$(syscalls "$wineserver_pid")
    t0=$(date +%s%N)
    sleep "$idle_seconds"
    for p in "$@"; do
        [ -d "/proc/$p" ] || die "a $kind process ended during its idle window (killed from outside?)"
        own1=$((own1 + $(cpu_ns "$p")))
    done
    ws1=$(cpu_ns "$wineserver_pid")
    calls1=$(syscalls "$wineserver_pid")
    t1=$(date +%s%N)
    rss=$(for p in "$@"; do rss_kib "$p"; done | paste -sd,)
    record idle kind="$kind" round="$round" services=$# window_ns=$((t1 - t0)) own_ns=$((own1 - own0)) \
        server_ns=$((ws1 - ws0)) server_calls=$((calls1 - calls0)) rss_start_kib="$rss0" rss_kib="$rss"
}

# quiet_run <kind> <count> <round>: starts <count> services of the kind with
# the quiet container and measures an idle window of them all.  In a window
# of the usual size the further services are then stopped and the first
# one's dump (talvex and the keep-alive reference) and stop are timed alone.
quiet_run() {
    local kind=$1 count=$2 round=$3 service pattern name line
    case $kind in
    talvex) service=$svc pattern=$talvex_pattern ;;
    keepalive) service=$keep_svc pattern='benchref\.exe keepalive-service' ;;
    reference) service=$ref_svc pattern='benchref\.exe service' ;;
    esac
    local names=($(kind "$service" "$count"))
    if [ "$kind" = talvex ]; then
        # One after the other: the launchers of all services write the same
        # start script, which another talvex may be reading.
        for name in "${names[@]}"; do
            start_talvex "$name"
            figures wait "$work/$name.out" '\x08' 30 || die "the container of $name did not start"
        done
    else
        line=$(wintool services start "${names[@]}") || die "could not start the $kind services: $line"
    fi
    # talvex treats a container as quiet two seconds after its last output.
    sleep 3
    local pids=($(prefix_pids "$pattern"))
    [ "${#pids[@]}" = "$count" ] || die "$count processes expected for $kind: ${pids[*]}"
    idle_window "$kind" "$round" "${pids[@]}"
    if [ "$count" != "$idle_services" ]; then
        wintool services stop "${names[@]}" >/dev/null || die "could not stop the $kind services"
        return
    fi
    if [ "$count" -gt 1 ]; then
        wintool services stop "${names[@]:1}" >/dev/null || die "could not stop the $kind services"
    fi
    # talvex's dump, and the keep-alive reference's, which does the same.
    local log=
    case $kind in
    talvex) log="$work_win\\$service.out" ;;
    keepalive) log="$area_win\\$service.log" ;;
    esac
    if [ -n "$log" ]; then
        line=$(benchref dump "$service" "$log") || die "timed dump of $service: $line"
        record "${line/dump/dump kind=$kind round=$round}"
        # The dump leaves the container quiet again; the stop comes from the
        # quiet state, like the first.
        sleep 3
    fi
    line=$(benchref stop "$service") || die "timed stop of $service: $line"
    record "${line/stop/stop kind=$kind round=$round}"
}

# idle_round <count> <round> <kinds>...: the windows of one round, every kind
# once; the order turns round every other round, so that a drift of the Wine
# server's own CPU over a round weighs on each kind alike.
idle_round() {
    local count=$1 round=$2 kinds kind
    shift 2
    kinds=("$@")
    ((round % 2 == 0)) && kinds=($(printf '%s\n' "$@" | tac))
    for kind in "${kinds[@]}"; do quiet_run "$kind" "$count" "$round"; done
}

# container_stop_reference: the container's own stop, as the child of a
# plain service, $rounds times.
container_stop_reference() {
    say "== the container's own stop, as the child of a plain service"
    as_service "container $rounds $work_win ${container_line[*]}" >"$scratch/container"
    [ "$(grep -c 'stop_ms=' "$scratch/container")" = "$rounds" ] ||
        die "reference container runs: $(cat "$scratch/container")"
    cat "$scratch/container" >>"$samples"
}

# resting_growth <round>: a talvex service with a quiet container, its
# memory after the resting supervisor's first timed wake and after the next
# one.  What the first wake touches for the first time is not counted; what a
# resting service does at every wake is.  The rest begins two seconds after
# the container's last output and lasts a minute.
resting_growth() {
    local pid first
    start_talvex "$svc"
    figures wait "$work/$svc.out" '\x08' 30 || die "the container of $svc did not start"
    pid=$(first_pid "$talvex_pattern")
    [ -n "$pid" ] || die "no talvex.exe process"
    sleep 65
    first=$(rss_kib "$pid")
    sleep 60
    record resting round="$1" first_kib="$first" later_kib="$(rss_kib "$pid")"
    wintool services stop "$svc" >/dev/null || die "could not stop $svc"
}

# --- restarts -------------------------------------------------------------------------

# restart_round: $restarts restarts of talvex's container, and as many of a
# plain service.
restart_round() {
    local log=$work/$svc.out talvex_pid cycle_rss0 line
    boot "container.restarts=$restarts" container.restart_after_ms=300
    start_watch "$log" "$scratch/restart.samples"
    start_talvex "$svc"
    # The first cycle touches code and data for the first time; memory is
    # compared from the second container's start on.
    figures wait "$log" '\x0714\x07.*?\x08' 30 || die "talvex's second container did not start"
    talvex_pid=$(first_pid "$talvex_pattern")
    [ -n "$talvex_pid" ] || die "no talvex.exe process"
    cycle_rss0=$(rss_kib "$talvex_pid")
    figures wait "$log" "(?:\\x0714\\x07.*?\\x08.*?){$restarts}" $((restarts * 10 + 20)) ||
        die "talvex did not restart its container $restarts times"
    sleep 0.5
    record cycle_rss first_kib="$cycle_rss0" last_kib="$(rss_kib "$talvex_pid")"
    stop_watch
    line=$(benchref stop "$svc") || die "stop after the restarts: $line"
    figures restarts "$scratch/restart.samples" "$log" >"$scratch/restarts"
    [ "$(grep -c . "$scratch/restarts")" = "$restarts" ] ||
        die "expected $restarts restarts: $(cat "$scratch/restarts")"
    cat "$scratch/restarts" >>"$samples"
    # The reference restart: a plain service runs the launcher to its end and
    # the container to its start marker, as talvex does between the two
    # markers.
    boot
    as_service "cycle $restarts $work_win ${launcher_line[*]}"$'\r\n'"${container_line[*]}" >"$scratch/cycle"
    [ "$(grep -c 'cycle ms=' "$scratch/cycle")" = "$restarts" ] || die "reference restarts: $(cat "$scratch/cycle")"
    cat "$scratch/cycle" >>"$samples"
}

# --- starts ----------------------------------------------------------------------------

# start_of <kind> <round>: times one start from the control to the start
# marker in the file that the service writes the container's output to.
start_of() {
    local line
    if [ "$1" = talvex ]; then
        rm -f "$work/$svc.out" "$work/$svc.out".*
        line=$(benchref start "$svc" "$work_win\\$svc.out") || die "timed start of $svc: $line"
        wintool services stop "$svc" >/dev/null || die "could not stop $svc"
    else
        printf '%s\r\n' "start-ref $area_win\\start.out $work_win ${launcher_line[*]}" "${container_line[*]}" \
            >"$area/request.txt"
        rm -f "$area/measured.txt" "$area/start.out"
        line=$(benchref start "$kids_svc" "$area_win\\start.out") || die "timed start of $kids_svc: $line"
        wait_state "$kids_svc" 1 30 || die "$kids_svc did not stop after its start"
    fi
    record "${line/start/start kind=$1 round=$2}"
}

# start_round <round>: a start of talvex and one of the plain service, the
# order turned every other round.
start_round() {
    boot
    if (($1 % 2)); then
        start_of talvex "$1"
        start_of reference "$1"
    else
        start_of reference "$1"
        start_of talvex "$1"
    fi
}

# --- the runs ----------------------------------------------------------------------------

# The Wine server of this prefix works in the directory that Wine names
# after the prefix's device and inode: a server left over from a prefix that
# was removed and made again at the same path has the same WINEPREFIX, and
# counting its calls would count nothing.
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
wineserver_pid=
for p in $(prefix_pids 'wineserver'); do
    [ "$(basename "$(readlink "/proc/$p/cwd" 2>/dev/null)")" = "$server_dir" ] && wineserver_pid=$p
done
[ -n "$wineserver_pid" ] || die "no Wine server for $WINEPREFIX"

# run_unit <unit> <round>: one round of one kind of measurement.
run_unit() {
    case $1 in
    copy100) copy_round 100 "$2" ;;
    variants) copy_round 100 "$2" variants ;;
    copy8192) copy_round 8192 "$2" ;;
    quiet) boot && idle_round "$idle_services" "$2" talvex reference keepalive ;;
    scale) boot && idle_round "$scale_services" "$2" talvex reference ;;
    growth) boot && resting_growth "$2" ;;
    restart) restart_round ;;
    start) start_round "$2" ;;
    esac
}

# rounds_of <unit> <count>: that many rounds of the unit.
rounds_of() {
    local round
    for ((round = 1; round <= $2; round++)); do run_unit "$1" "$round"; done
}

# focus_unit <figure>: adds the unit that measures the figure to $units.
focus_unit() {
    local unit
    case $1 in
    copy_100_ratio | cpu_per_mib_ratio) unit=copy100 ;;
    copy_100_rotation_ratio | copy_100_compressed_ratio) unit=variants ;;
    copy_8192_ratio) unit=copy8192 ;;
    idle_server_calls_per_min | idle_cpu_ms_per_min | memory_mib | stop_ms | stop_over_event_reference_ms | dump_ms)
        unit=quiet ;;
    idle_growth_kib) unit=growth ;;
    restart_ms) unit=restart ;;
    start_ms) unit=start ;;
    idle_scale_ratio) focus_unit idle_cpu_ms_per_min && unit=scale ;;
    *) die "BENCH_FOCUS: \"$1\" is none of the figures' keys (see the JSON's \"figures\")" ;;
    esac
    [[ " ${units[*]} " == *" $unit "* ]] || units+=("$unit")
}

if [ -n "${BENCH_FOCUS:-}" ]; then
    units=()
    for key in ${BENCH_FOCUS//,/ }; do focus_unit "$key"; done
    # The variants' rounds hold the plain copy of 100-byte writes as well.
    [[ " ${units[*]} " == *" variants "* ]] && units=($(printf '%s\n' "${units[@]}" | grep -vx copy100))
    focus_minutes=${BENCH_FOCUS_MINUTES:-25}
    say "== focused run: ${BENCH_FOCUS//,/ }; rounds of ${units[*]} for as long as $focus_minutes minutes hold them"
    focus_start=$SECONDS round=0 last=0
    # A round starts only when one more as long as the last still fits.
    while ((round == 0 || SECONDS - focus_start + last <= focus_minutes * 60)); do
        round=$((round + 1)) round_start=$SECONDS
        for unit in "${units[@]}"; do run_unit "$unit" "$round"; done
        last=$((SECONDS - round_start))
        say "   round $round: $last s"
    done
    [[ " ${units[*]} " == *" copy100 "* || " ${units[*]} " == *" variants "* ]] && copy_done 100
    [[ " ${units[*]} " == *" copy8192 "* ]] && copy_done 8192
    [[ " ${units[*]} " == *" quiet "* ]] && container_stop_reference
    record focus keys="$BENCH_FOCUS" rounds="$round" minutes="$focus_minutes"
    took
else
    if part copy; then
        say "== copy: $volume bytes in 100-byte writes, $large_volume in 8 KiB writes; $rounds rounds of the references and talvex in turn"
        rounds_of variants "$rounds"
        copy_done 100
        rounds_of copy8192 "$rounds"
        copy_done 8192
        took
    fi
    if part quiet; then
        say "== quiet: $idle_rounds rounds of idle windows of $idle_seconds s, $idle_services services of each kind"
        say "   at once (talvex, the plain reference, the keep-alive reference), then a dump and a stop of one"
        rounds_of quiet "$idle_rounds"
        container_stop_reference
        # Two minutes of rest; a quick run leaves the figure out.
        if [ -z "${BENCH_QUICK:-}" ]; then
            say "== growth: a resting talvex service's memory after its first timed wake and after the next"
            run_unit growth 1
        fi
        took
    fi
    if part restart; then
        say "== restart: $restarts restarts of talvex's container, and as many of a plain service"
        run_unit restart 1
        took
    fi
    if part start; then
        say "== start: $rounds starts of talvex and of a plain service that runs the same children, in turn"
        rounds_of start "$rounds"
        took
    fi
    if part scale; then
        say "== scale: $scale_rounds rounds of idle windows of $scale_services talvex services and of as many"
        say "   references"
        rounds_of scale "$scale_rounds"
        took
    fi
fi

# --- the figures --------------------------------------------------------------------------

say ""
say "== figures (talvex against references measured in this run; medians of the rounds)"
json=$build/bench/figures-$(date -u +%Y%m%dT%H%M%SZ).json
figures report "$samples" "$json" || die "the figures could not be worked out"
for size in 100 8192; do
    [ "${identical[$size]}" = yes ] || die "talvex's log does not hold the container's output ($size-byte writes)"
done
say "== the figures as JSON:"
say "$json"
