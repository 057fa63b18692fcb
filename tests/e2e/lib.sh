# Shared helpers of the end-to-end scripts.  Source it, then call e2e_init
# with the directory that holds talvex.exe and its libraries:
#
#   source "$(dirname "$0")/lib.sh"
#   e2e_init "$1"
#   ...checks that call e2e_pass / e2e_fail...
#   e2e_finish
#
# ctest runs each script as `bash script <bindir>` with the Wine environment of
# scripts/wine-env.sh already in place.  Run by hand, e2e_init sources that
# file itself for the build the bin directory belongs to, and stops the Wine
# server it started when the script ends.

# e2e_init <bindir>: sets E2E_BINDIR (absolute), E2E_BINDIR_WIN (its Windows
# path), E2E_EXE_WIN (talvex.exe's full Windows path) and E2E_SCRATCH (a
# temporary directory removed at exit).
e2e_init() {
    E2E_BINDIR=$(cd "${1:?directory holding talvex.exe}" && pwd)
    E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    E2E_NAME=$(basename "$0" .sh)
    E2E_FAILURES=0
    E2E_OWN_SERVER=0
    if [ -z "${WINEPREFIX:-}" ]; then
        # shellcheck source=/dev/null
        source "$E2E_ROOT/scripts/wine-env.sh" "$(dirname "$E2E_BINDIR")"
        E2E_OWN_SERVER=1
    fi
    E2E_SCRATCH=$(mktemp -d)
    trap e2e_cleanup EXIT
    if [ ! -f "$E2E_BINDIR/talvex.exe" ]; then
        echo "$E2E_NAME: FAIL: no talvex.exe in $E2E_BINDIR"
        exit 1
    fi
    E2E_BINDIR_WIN=$(e2e_windows_path "$E2E_BINDIR")
    E2E_EXE_WIN="$E2E_BINDIR_WIN\\talvex.exe"
}

e2e_cleanup() {
    rm -rf "$E2E_SCRATCH"
    if [ "$E2E_OWN_SERVER" = 1 ] && [ "$(type -t talvex_wine_stop)" = function ]; then
        talvex_wine_stop
    fi
}

e2e_pass() {
    echo "$E2E_NAME: ok: $*"
}

e2e_fail() {
    echo "$E2E_NAME: FAIL: $*"
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

# Ends the script: exit code 0 only when no check failed.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        echo "$E2E_NAME: $E2E_FAILURES check(s) failed"
        exit 1
    fi
    echo "$E2E_NAME: all checks passed"
    exit 0
}

# e2e_windows_path <unix path>: the path as a Windows program sees it.
e2e_windows_path() {
    wine winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# e2e_crlf <file in> <file out>: the text with every "\n" made "\r\n", which
# is what a Windows console program's text-mode standard output sends.
e2e_crlf() {
    sed 's/$/\r/' "$1" >"$2"
}

# e2e_expect_same <what> <expected file> <actual file>: byte-for-byte
# comparison; on a difference both are shown as characters.
e2e_expect_same() {
    local what=$1 expected=$2 actual=$3
    if cmp -s "$expected" "$actual"; then
        e2e_pass "$what"
        return 0
    fi
    e2e_fail "$what: output differs"
    echo "--- expected"
    od -c "$expected" | head -40
    echo "--- got"
    od -c "$actual" | head -40
    return 1
}

# e2e_expect_rc <what> <expected> <actual>
e2e_expect_rc() {
    if [ "$2" = "$3" ]; then
        e2e_pass "$1: exit code $3"
    else
        e2e_fail "$1: exit code $3, expected $2"
    fi
}

# e2e_run_short <stdout file> <stderr file> [arguments...]: runs talvex.exe
# through cmd from its own directory, so that argv[0] is the short name
# "talvex.exe" as when an administrator types it.  Returns its exit code.
e2e_run_short() {
    local out=$1 err=$2
    shift 2
    local line="cd /d $E2E_BINDIR_WIN && talvex.exe"
    local a
    for a in "$@"; do line="$line $a"; done
    wine cmd /c "$line" >"$out" 2>"$err"
}

# e2e_run_full <stdout file> <stderr file> [arguments...]: runs talvex.exe by
# its full path (argv[0] is then the full Windows path).  Returns its exit code.
e2e_run_full() {
    local out=$1 err=$2
    shift 2
    wine "$E2E_BINDIR/talvex.exe" "$@" >"$out" 2>"$err"
}

# e2e_usage_text: the usage text exactly as talvex prints it, with "\n" line
# ends (pipe it through e2e_crlf to compare with console output).
e2e_usage_text() {
    cat <<'EOF'

Usage:

  talvex -install <ServiceName> <options> to install the service

    Where <options> include:

      -a
         Automatically start the service (default - not autostart)
      -wd <path>
         Container's working directory (default - current working directory)
      -jre <path>
         Full path to java.exe (required)
      -jargs "<args>"
         Additional JVM args
      -cp "<classpath>"
         Container classpath (required)
      -bcp "<classpath>"
         Container bootclasspath (required)
      -home "<path>"
         Orvane installation root directory (required)
      -xml <path>
         Path to container boot file (default - ".\container.ini")
      -dsxml <path>
         Path to Directory Service boot file (required if container loads DS)
      -starttimeout | -t <seconds>
         Container startup timeout (default - infinite)
      -stoptimeout | -s <seconds>
         Container shutdown timeout (default - 600)
      -pwd <password>
         Bootfile encryption password (not required unless PBE has been used)

  talvex -start   <ServiceName> to start the service (does not wait)

  talvex -stop    <ServiceName> to stop the service (does not wait)

  talvex -remove  <ServiceName> to remove the service

  talvex -dump    <ServiceName> to request a Java thread dump from a running service (sends Ctrl+Break)
EOF
}

# e2e_event_reports <stderr file>: the ReportEventA lines Wine printed with
# WINEDEBUG=+eventlog, one per event:
#   fixme:advapi:ReportEventA (HANDLE,0xTYPE,0xCATEGORY,0xID,SID,0xCOUNT,...)
e2e_event_reports() {
    grep 'fixme:advapi:ReportEventA (' "$1" || true
}

# e2e_event_strings <stderr file>: the insertion strings of all events, one a
# line, as Wine prints them: L"..." with every backslash doubled.
e2e_event_strings() {
    grep -E '(err|warn|trace):eventlog:ReportEventW L"' "$1" | sed 's/^.*:eventlog:ReportEventW //' || true
}

# e2e_event_sources <stderr file>: the source name of every
# RegisterEventSourceA call, one a line, as Wine prints it: "..." with every
# backslash doubled.
e2e_event_sources() {
    grep 'fixme:advapi:RegisterEventSourceA (' "$1" | sed 's/^.*RegisterEventSourceA ([^,]*,\(".*"\)).*$/\1/' || true
}

# e2e_literal <text>: the text as Wine prints a wide string (L"..."),
# backslashes doubled; e2e_literal_a the same for an ANSI string ("...").
e2e_literal() {
    printf 'L%s' "$(e2e_literal_a "$1")"
}

e2e_literal_a() {
    local text=$1
    printf '"%s"' "${text//\\/\\\\}"
}

# --- service runs under Wine's own service manager ------------------------------

# e2e_sc_field <service> <field>: the number that `wine sc query` shows on one
# of its lines (STATE, WIN32_EXIT_CODE, SERVICE_EXIT_CODE, CHECKPOINT), or
# "none" when the manager does not know the service.
e2e_sc_field() {
    local line
    line=$(wine sc query "$1" 2>/dev/null | tr -d '\r' | grep -E "^ *$2 *:") || { echo none; return; }
    echo "$line" | awk -F: '{ split($2, v, " "); print v[1] }'
}

# e2e_wait_sc_state <service> <state number> <seconds>: 0 once the service is
# in that state, 1 when it has not got there in time.
e2e_wait_sc_state() {
    local i
    for ((i = 0; i < $3 * 4; i++)); do
        [ "$(e2e_sc_field "$1" STATE)" = "$2" ] && return 0
        sleep 0.25
    done
    return 1
}

# e2e_trace_events <file>: restarts the Wine server so that the service
# manager, and every service it starts, traces each ReportEventA into file.
e2e_trace_events() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    wineserver -p >/dev/null 2>&1
    WINEDEBUG=+eventlog wine sc query >/dev/null 2>"$1"
}

# e2e_untrace_events: gives the next scenario a server like the one
# scripts/wine-env.sh starts (persistent, without the trace); a server that
# e2e_init started itself is stopped by e2e_cleanup instead.
e2e_untrace_events() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ "${E2E_OWN_SERVER:-0}" = 0 ]; then
        wineserver -p >/dev/null 2>&1
        wine sc query >/dev/null 2>&1
    fi
}

# e2e_events <trace file>: one line per reported event: the id in lower-case
# hex, a tab, and the insertion strings as Wine prints them (L"...", with
# backslashes doubled and control characters escaped), separated by tabs.
e2e_events() {
    awk '
        function flush() { if (id != "") print id "\t" strings; id = ""; strings = "" }
        /:fixme:advapi:ReportEventA \(/ { flush(); split($0, f, ","); id = tolower(f[4]); next }
        /:eventlog:ReportEventW L"/ {
            s = $0
            sub(/^.*:eventlog:ReportEventW /, "", s)
            strings = strings (strings == "" ? "" : "\t") s
        }
        END { flush() }' "$1"
}

# e2e_wine_text <text>: a text as Wine's trace prints a wide string: L"...",
# with backslashes doubled and line ends and tabs escaped.
e2e_wine_text() {
    local text=$1
    text=${text//\\/\\\\}
    text=${text//$'\r'/\\r}
    text=${text//$'\n'/\\n}
    text=${text//$'\t'/\\t}
    printf 'L"%s"' "$text"
}

# e2e_event_count <trace file> <id> <source> [<text>]: how many events with
# this id came from the source (and, when given, carried this text as their
# second string).  Texts are given plainly.
e2e_event_count() {
    local id source text=""
    id=$(e2e_lower "$2")
    source=$(e2e_wine_text "$3")
    [ $# -ge 4 ] && text=$(e2e_wine_text "$4")
    # Through the environment: awk -v would turn the escapes back into
    # control characters.
    e2e_events "$1" | E2E_ID=$id E2E_SOURCE=$source E2E_TEXT=$text E2E_HAS_TEXT=$(($# >= 4)) awk -F '\t' '
        $1 == ENVIRON["E2E_ID"] && $2 == ENVIRON["E2E_SOURCE"] &&
            (ENVIRON["E2E_HAS_TEXT"] == 0 || $3 == ENVIRON["E2E_TEXT"]) { n++ }
        END { print n + 0 }'
}

e2e_lower() {
    echo "$1" | tr 'A-Z' 'a-z'
}

# e2e_wait_event <trace file> <id> <source> <seconds> [<text>]: 0 once such an
# event (with that text, when given) was traced.
e2e_wait_event() {
    local i args=("$1" "$2" "$3")
    [ $# -ge 5 ] && args+=("$5")
    for ((i = 0; i < $4 * 4; i++)); do
        [ "$(e2e_event_count "${args[@]}")" -gt 0 ] && return 0
        sleep 0.25
    done
    return 1
}

# e2e_put_parameter <service> <value name> <text>: one REG_SZ value of the
# service's Parameters key.
e2e_put_parameter() {
    wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1\\Parameters" /v "$2" /t REG_SZ /d "$3" /f \
        >/dev/null 2>&1
}

# e2e_remove_service <service>: stops (once) and deletes a service left over
# from an interrupted run, with its Parameters key.
e2e_remove_service() {
    local state
    state=$(e2e_sc_field "$1" STATE)
    [ "$state" = none ] && return 0
    if [ "$state" != 1 ]; then
        wine sc stop "$1" >/dev/null 2>&1
        e2e_wait_sc_state "$1" 1 30
    fi
    wine sc delete "$1" >/dev/null 2>&1
    wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1" /f >/dev/null 2>&1
    return 0
}

# e2e_fakejava_service <service> <area> <area's Windows path>: a service whose
# java.exe is the stand-in JVM: <area>\jre\bin\java.exe, working directory
# <area>\work (the boot file container.ini goes there), registered with Wine's
# sc and given its parameters with reg.  Returns 1 when something is missing.
e2e_fakejava_service() {
    local svc=$1 area=$2 area_win=$3
    local fakejava="$E2E_BINDIR/fakejava/java.exe"
    if [ ! -f "$fakejava" ]; then
        e2e_fail "the stand-in java.exe is not in $E2E_BINDIR/fakejava"
        return 1
    fi
    e2e_remove_service "$svc"
    rm -rf "$area"
    mkdir -p "$area/jre/bin" "$area/work"
    cp "$fakejava" "$area/jre/bin/java.exe"
    if ! wine sc create "$svc" binPath= "$E2E_EXE_WIN" >/dev/null 2>&1; then
        e2e_fail "sc create $svc"
        return 1
    fi
    e2e_put_parameter "$svc" WorkingDirectory "$area_win\\work"
    e2e_put_parameter "$svc" JavaExe "$area_win\\jre\\bin\\java.exe"
    e2e_put_parameter "$svc" OrvaneHome "$area_win"
    e2e_put_parameter "$svc" UtilDir "$E2E_BINDIR_WIN"
    return 0
}
