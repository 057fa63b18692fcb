#!/usr/bin/env bash
# An event written by talvex.exe reaches the event log with its id, type and
# insertion strings.  Wine keeps no event log; it prints every ReportEventA on
# its debug output instead (WINEDEBUG=+eventlog):
#   fixme:advapi:ReportEventA (HANDLE,0xTYPE,0xCATEGORY,0xID,SID,0xCOUNT,...)
#   err:eventlog:ReportEventW L"string"      one line per insertion string
# Run by its full path with no argument, talvex.exe takes the service
# dispatcher path, which fails outside the service manager and reports the
# error event 0xC0000006 with the executable path as its source.
# Usage: bash tests/e2e/event_output.sh <bin dir holding talvex.exe>
set -euo pipefail

bindir=$(cd "${1:?bin directory}" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
    # Run by hand: use the prefix of the build this bin/ belongs to.
    source "$(dirname "$0")/../../scripts/wine-env.sh" "$(dirname "$bindir")"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"; [ "$(type -t talvex_wine_stop)" = function ] && talvex_wine_stop || true' EXIT

fail() {
    echo "event_output: FAIL: $*" >&2
    echo "--- Wine debug output (event lines) ---" >&2
    grep -E 'ReportEvent' "$work/stderr" >&2 || true
    exit 1
}

exe_windows=$(wine winepath -w "$bindir/talvex.exe" 2>/dev/null | tr -d '\r')
[ -n "$exe_windows" ] || fail "winepath gave no Windows path for $bindir/talvex.exe"

WINEDEBUG=+eventlog wine "$bindir/talvex.exe" >"$work/stdout" 2>"$work/stderr" || true

# Wine prints the strings as C literals: every backslash doubled.
exe_literal=${exe_windows//\\/\\\\}

reports=$(grep -c 'fixme:advapi:ReportEventA (' "$work/stderr" || true)
[ "$reports" = 1 ] || fail "expected one ReportEventA call, saw $reports"

# Type 1 (error), category 0, id 0xc0000006, no user SID, two strings.
report=$(grep 'fixme:advapi:ReportEventA (' "$work/stderr")
case "$report" in
    *",0x0001,0x0000,0xc0000006,0000000000000000,0x0002,"*) ;;
    *) fail "ReportEventA arguments: $report" ;;
esac

mapfile -t strings < <(grep -F 'err:eventlog:ReportEventW L"' "$work/stderr" | sed 's/^.*err:eventlog:ReportEventW //')
[ "${#strings[@]}" = 2 ] || fail "expected two insertion strings, saw ${#strings[@]}"
[ "${strings[0]}" = "L\"$exe_literal\"" ] || fail "first string (source name): ${strings[0]}, expected L\"$exe_literal\""
[ "${strings[1]}" = 'L"StartServiceCtrlDispatcher failed."' ] || fail "second string: ${strings[1]}"

echo "event_output: ok (0xc0000006 with \"$exe_windows\" and \"StartServiceCtrlDispatcher failed.\")"
