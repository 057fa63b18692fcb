# Sourced by what drives services under Wine (the demo, the scenarios, the
# bench): the trace of reported events, and a service's state as sc says it.

# talvex_trace_events <file>: Wine keeps no event log; each reported event
# is traced on the standard error of the Wine process that starts the
# service manager.  The server is restarted so that this trace goes to the
# file.
talvex_trace_events() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1 || true
    WINEDEBUG=+eventlog wine sc query >/dev/null 2>"$1" || true
}

# talvex_sc <service> <field>: the number that Wine's "sc query" reports for
# the service under STATE, WIN32_EXIT_CODE or SERVICE_EXIT_CODE, or "none"
# for an unknown service.  A query that sc answers with nothing at all (it
# happens now and then on a loaded machine) is asked again before the
# service counts as unknown.
talvex_sc() {
    local line try
    for try in 1 2 3; do
        line=$(wine sc query "$1" 2>/dev/null | tr -d '\r')
        [ -n "$line" ] && break
        sleep 0.5
    done
    line=$(echo "$line" | grep -E "^ *$2 *:") || { echo none; return; }
    echo "$line" | awk -F: '{ split($2, v, " "); print v[1] }'
}
