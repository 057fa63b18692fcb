#!/usr/bin/env bash
# The main job: builds the Windows product and runs a demo service through its
# whole life under Wine's service manager, printing each step.
#
# The Wine prefix lives in build/mingw/wineprefix.  The demo service's
# container is the stand-in JVM from tools/fakejava, installed as
# C:\talvex-demo\jre\bin\java.exe inside that prefix.  Safe to run again: a
# demo service left over from an earlier run is removed first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

svc=TalvexDemo
# TALVEX_BUILD_DIR builds and runs somewhere else than build/mingw.
build=${TALVEX_BUILD_DIR:-$root/build/mingw}
bin="$build/bin"

bold=""
plain=""
if [ -t 1 ]; then
    bold=$(tput bold 2>/dev/null || true)
    plain=$(tput sgr0 2>/dev/null || true)
fi
step_number=0
step() {
    step_number=$((step_number + 1))
    printf '\n%s== %d. %s%s\n' "$bold" "$step_number" "$*" "$plain"
}
# Shows a command the way an administrator would type it, then runs it.
show() {
    printf '%s$ %s%s\n' "$bold" "$*" "$plain"
    "$@" 2>/dev/null | tr -d '\r'
}

step "Installing what the build needs (only what is missing)"
bash scripts/setup.sh

step "Building talvex.exe, talvexMSG.dll, talvexUtil.dll and the stand-in java.exe"
if [ -z "${TALVEX_BUILD_DIR:-}" ]; then
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw
else
    cmake --preset mingw -B "$build" >/dev/null
    cmake --build "$build"
fi

fakejava=""
for candidate in "$bin/fakejava/java.exe" "$bin/java.exe" "$bin/fakejava.exe"; do
    [ -f "$candidate" ] && { fakejava=$candidate; break; }
done
[ -n "$fakejava" ] || { echo "demo: the stand-in java.exe was not built" >&2; exit 1; }

step "Starting Wine (prefix in ${build#$root/}/wineprefix)"
if [ ! -f "$build/wineprefix/system.reg" ]; then
    echo "  The first time, Wine makes its prefix (a Windows drive and registry of about 700 MB):"
    echo "  that takes half a minute or so, and nothing is printed meanwhile."
fi
source scripts/wine-env.sh "$build"
events="$build/demo-events.log"
talvex_trace_events "$events"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# sc's STATE number for the service, or "none" when it is not installed.
state_of() { talvex_sc "$svc" STATE; }
wait_state() {
    local want=$1 i
    for ((i = 0; i < 120; i++)); do
        [ "$(state_of)" = "$want" ] && return 0
        sleep 0.25
    done
    echo "demo: the service did not reach state $want (it is in state $(state_of))" >&2
    return 1
}

# The events as the Event Viewer shows them: the message file's text of each
# id with its insertion strings filled in.
show_events() {
    python3 scripts/demo_view.py events res/talvex_msg.mc <"$events"
}

# The demo container's boot file names it "demo": its lines and the
# launcher's start with "demo container:" and "demo launcher:".
child=demo
# The log with the owner of each line named and each marker explained.
show_log() {
    python3 scripts/demo_view.py log "$child"
}

demo_win='C:\talvex-demo'
demo="$WINEPREFIX/drive_c/talvex-demo"
product_win='C:\Program Files\talvex'
product="$WINEPREFIX/drive_c/Program Files/talvex"
talvex() {
    wine "$product_win\\talvex.exe" "$@"
}

if [ "$(state_of)" != none ]; then
    step "Removing the demo service left over from an earlier run"
    if [ "$(state_of)" != 1 ]; then
        talvex -stop "$svc" 2>/dev/null | tr -d '\r' || true
        echo
        wait_state 1 || true
    fi
    talvex -remove "$svc" 2>/dev/null | tr -d '\r' || true
fi

step "Laying out the demo machine inside the prefix"
rm -rf "$demo" "$product"
mkdir -p "$product" "$demo/jre/bin" "$demo/home" "$demo/work"
cp "$bin/talvex.exe" "$bin/talvexMSG.dll" "$bin/talvexUtil.dll" "$product/"
cp "$fakejava" "$demo/jre/bin/java.exe"
printf '# Boot file of the demo container.\r\nname=%s\r\n' "$child" >"$demo/work/container.ini"
printf '  %-69s %s\n' "$product_win\\talvex.exe (+ talvexMSG.dll, talvexUtil.dll)" \
    "the product, as copied to a Windows machine" \
    "$demo_win\\jre\\bin\\java.exe" "the stand-in JVM (tools/fakejava)" \
    "$demo_win\\home" "the installation root (-home)" \
    "$demo_win\\work\\container.ini" "the working directory and its boot file"

step "Installing the service"
show talvex -install "$svc" -wd "$demo_win\\work" -jre "$demo_win\\jre\\bin\\java.exe" \
    -cp 'lib\framework.jar;lib\container.jar' -home "$demo_win\\home" -xml container.ini -s 30
show wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc" /v ImagePath
show wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v JavaExe
show wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$svc"

step "Starting the service"
show talvex -start "$svc"
wait_state 4
show wine sc query "$svc"
hint=$(wine sc query "$svc" 2>/dev/null | tr -d '\r' | awk '/WAIT_HINT/ { print $3 }')
echo "  (WAIT_HINT $hint, $((hint)) ms, is the wait hint of talvex's last status report. It only"
echo "   means something while a service is pending, as the time to wait for its next report;"
echo "   the service manager keeps the last one reported and shows it with RUNNING too.)"

log="$demo/work/$svc.out"
# The container announces that it is up with its start marker; the
# supervisor then reports the "container started" event.
for ((i = 0; i < 80; i++)); do
    grep -q '0x40000001' "$events" && break
    sleep 0.25
done

step "The service's log file ($demo_win\\work\\$svc.out)"
[ -f "$log" ] || { echo "demo: the service wrote no log file" >&2; exit 1; }
cat <<TEXT
  Each line is shown with its owner.  The launcher and the container are the service's two
  Java children (here the stand-in JVM); talvex copies what they write to their standard
  output into this file as it comes, and adds lines of its own: "NT Service ... input flusher
  thread" is talvex's thread that writes a keep-alive newline to the container's standard
  input every 2 s.  The children tell talvex how they are doing with control characters in
  their output, which stay in the file: <BEL>n<BEL> is an exit-code marker, <BS> the
  container's start marker.
TEXT
show_log <"$log"

step "The events it reported, as the Event Viewer shows them"
echo "  (Wine keeps no event log: the demo reads Wine's trace of each ReportEvent call and fills"
echo "   the texts of talvexMSG.dll's message file with the event's insertion strings.)"
show_events

step "Requesting a thread dump"
echo "  (Under Wine, GenerateConsoleCtrlEvent cannot reach another process group, so the"
echo "   Ctrl+Break fails and the log says why; on Windows the container's thread dump"
echo "   appears in the log instead.)"
before=$(wc -c <"$log")
show talvex -dump "$svc"
for ((i = 0; i < 40; i++)); do
    [ "$(wc -c <"$log")" -gt "$before" ] && break
    sleep 0.25
done
sleep 0.5
echo "  New lines in the log file:"
tail -c +"$((before + 1))" "$log" | show_log
before=$(wc -c <"$log")

step "Stopping the service"
show talvex -stop "$svc"
wait_state 1
show wine sc query "$svc"

step "What the stop added to the log file, and all events"
tail -c +"$((before + 1))" "$log" | show_log
show_events

step "Removing the service"
show talvex -remove "$svc"
show wine sc query "$svc" || true
if [ "$(state_of)" = none ]; then
    echo "  (sc finds no service named $svc any more.)"
fi

step "Done"
echo "  The Wine server is stopped; the prefix stays in ${build#$root/}/wineprefix."
