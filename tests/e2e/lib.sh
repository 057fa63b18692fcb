# Shared helpers of the end-to-end scenarios, which run the real talvex.exe
# under Wine's service manager with the stand-in JVM (tools/fakejava) as
# launcher and container.  ctest runs each as `bash script <bindir>` inside
# the Wine environment of scripts/wine-env.sh; run by hand, e2e_init sets that
# up itself.

e2e_init() {
    E2E_BINDIR=$(cd "${1:?directory holding talvex.exe}" && pwd)
    E2E_NAME=$(basename "$0" .sh)
    E2E_FAILURES=0
    if [ -z "${WINEPREFIX:-}" ]; then
        source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh" "$(dirname "$E2E_BINDIR")"
        trap talvex_wine_stop EXIT
    fi
    E2E_SCRATCH=$(mktemp -d)
    E2E_EXE_WIN=$(wine winepath -w "$E2E_BINDIR/talvex.exe" 2>/dev/null | tr -d '\r')
    E2E_BINDIR_WIN=${E2E_EXE_WIN%\\talvex.exe}
}

# e2e_tool <arguments...>: tools/wintool/wintool.cpp, built on first use.
e2e_tool() {
    local exe="$E2E_SCRATCH/wintool.exe"
    [ -f "$exe" ] || x86_64-w64-mingw32-g++-posix -O2 -static -o "$exe" "$(dirname "${BASH_SOURCE[0]}")/../../tools/wintool/wintool.cpp" ||
        return 1
    wine "$exe" "$@" 2>/dev/null | tr -d '\r'
}

e2e_pass() { echo "$E2E_NAME: ok: $*"; }
e2e_fail() { echo "$E2E_NAME: FAIL: $*"; E2E_FAILURES=$((E2E_FAILURES + 1)); }

# e2e_check <what> <expected> <actual>: an exact comparison.
e2e_check() {
    if [ "$2" == "$3" ]; then e2e_pass "$1"; else e2e_fail "$1: expected [$2], got [$3]"; fi
}

e2e_finish() {
    rm -rf "$E2E_SCRATCH"
    [ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_NAME: $E2E_FAILURES check(s) failed"; exit 1; }
    echo "$E2E_NAME: all checks passed"
    exit 0
}

# talvex_sc and talvex_trace_events, the service manager's side.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-services.sh"

# e2e_wait <seconds> <command>: 0 once the command (a shell text, evaluated
# at every try) succeeds.
e2e_wait() {
    local i
    for ((i = 0; i < $1 * 4; i++)); do eval "$2" && return 0; sleep 0.25; done
    return 1
}

e2e_in_state() { [ "$(talvex_sc "$1" STATE)" = "$2" ]; }

# Wine keeps no event log: with WINEDEBUG=+eventlog it prints each
# ReportEventA on the standard error of the process that started the server.
# e2e_trace_events restarts the server so that those lines go to $E2E_EVENTS.
e2e_trace_events() {
    E2E_EVENTS=$E2E_SCRATCH/events.log
    talvex_trace_events "$E2E_EVENTS"
}

# e2e_events [file]: one line per event: the id, then its insertion strings
# as Wine prints them (L"...", backslashes doubled), tab-separated.
e2e_events() {
    awk '/:fixme:advapi:ReportEventA \(/ { if (id != "") print id s; split($0, f, ","); id = tolower(f[4]); s = ""; next }
         /:eventlog:ReportEventW L"/ { t = $0; sub(/^.*:eventlog:ReportEventW /, "", t); s = s "\t" t }
         END { if (id != "") print id s }' "${1:-$E2E_EVENTS}"
}

# e2e_count <id> <text of the line after the id, as e2e_events shows it>
e2e_count() { e2e_events | grep -cxF "$1"$'\t'"$2"; }

e2e_put() {
    wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1\\Parameters" /v "$2" /t REG_SZ /d "$3" /f >/dev/null 2>&1
}

e2e_remove_service() { e2e_tool services delete "$1" >/dev/null; }

# e2e_area <name>: a fresh C:\<name> with jre\bin\java.exe (the stand-in JVM)
# and an empty work\ folder; sets AREA and AREA_WIN.
e2e_area() {
    AREA="$WINEPREFIX/drive_c/$1" AREA_WIN="C:\\$1"
    rm -rf "$AREA"
    mkdir -p "$AREA/jre/bin" "$AREA/work"
    cp "$E2E_BINDIR/fakejava/java.exe" "$AREA/jre/bin/java.exe"
}

# e2e_service <service> [<talvex.exe's Windows path>]: registered with Wine's
# sc and given the parameters of a stand-in service in $AREA, as the
# installer would.
e2e_service() {
    e2e_remove_service "$1"
    wine sc create "$1" binPath= "${2:-$E2E_EXE_WIN}" >/dev/null 2>&1 || e2e_fail "sc create $1"
    e2e_put "$1" WorkingDirectory "$AREA_WIN\\work"
    e2e_put "$1" JavaExe "$AREA_WIN\\jre\\bin\\java.exe"
    e2e_put "$1" OrvaneHome "$AREA_WIN"
    e2e_put "$1" UtilDir "$E2E_BINDIR_WIN"
}
