#!/usr/bin/env bash
# The administration lifecycle of one service under Wine's service manager:
# a refused install, install with every registry value read back, reinstall,
# start, the started event, refused second start and remove, dump, stop,
# refused second stop, remove, and an unknown service.  The container is the
# stand-in JVM from tests/fakejava.
#
# Usage: bash tests/e2e/lifecycle.sh <directory holding talvex.exe and its libraries>
set -uo pipefail

source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexLifecycle
# The product is copied under a folder with a blank, so the registered binary
# path must be quoted for the service manager to start it.
product_win='C:\Program Files\Talvex Lifecycle'
product="$WINEPREFIX/drive_c/Program Files/Talvex Lifecycle"
area_win='C:\talvex-lifecycle'
area="$WINEPREFIX/drive_c/talvex-lifecycle"
scratch=$E2E_SCRATCH
events="$scratch/events.log"

talvex() {
    wine "$product_win\\talvex.exe" "$@"
}

# Runs talvex and compares its standard output (with the console's "\r\n"
# turned into "\n") and its exit code byte for byte with what is expected.
expect_run() {
    local what=$1 expected_rc=$2 expected=$3
    shift 3
    talvex "$@" >"$scratch/out.raw" 2>/dev/null
    local rc=$?
    tr -d '\r' <"$scratch/out.raw" >"$scratch/out.txt"
    printf '%s' "$expected" >"$scratch/expected.txt"
    e2e_expect_rc "$what" "$expected_rc" "$rc"
    e2e_expect_same "$what: output" "$scratch/expected.txt" "$scratch/out.txt"
}

# One registry key exported as UTF-8 text with "\n" line ends (reg query
# cannot show a value whose data is empty; reg export can).
export_key() {
    rm -f "$scratch/key.reg"
    wine reg export "$1" "$(e2e_windows_path "$scratch")\\key.reg" /y >/dev/null 2>&1 || return 1
    iconv -f UTF-16LE -t UTF-8 "$scratch/key.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//'
}

# A text as reg export writes it: in double quotes, backslashes and quotes
# escaped.
reg_text() {
    local t=${1//\\/\\\\}
    t=${t//\"/\\\"}
    printf '"%s"' "$t"
}

expect_value() {
    local exported=$1 name=$2 data=$3 line
    line=$(grep -F "\"$name\"=" <<<"$exported" | head -1)
    if [ "$line" = "\"$name\"=$data" ]; then
        e2e_pass "value $name"
    else
        e2e_fail "value $name is [$line], expected [\"$name\"=$data]"
    fi
}

state_of() {
    e2e_sc_field "$1" STATE
}

# Removes what the scenario made and gives the next scenario a Wine server
# without the event trace.
lifecycle_cleanup() {
    if [ "$(state_of "$svc")" != none ]; then
        [ "$(state_of "$svc")" = 4 ] && talvex -stop "$svc" >/dev/null 2>&1 && e2e_wait_sc_state "$svc" 1 20
        talvex -remove "$svc" >/dev/null 2>&1
    fi
    rm -rf "$area" "$product"
    e2e_untrace_events
    e2e_cleanup
}
trap lifecycle_cleanup EXIT

fakejava="$E2E_BINDIR/fakejava/java.exe"
[ -f "$fakejava" ] || { e2e_fail "the stand-in java.exe is not in $E2E_BINDIR/fakejava"; e2e_finish; }

# --- set-up ----------------------------------------------------------------

# Wine traces each reported event on the standard error of the Wine process
# that starts the service manager, so the server is restarted with that
# stream captured.
e2e_trace_events "$events"
# A leftover of an interrupted run would turn the first install into a change.
e2e_remove_service "$svc"
wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$svc" /f >/dev/null 2>&1
rm -rf "$area" "$product"
mkdir -p "$product" "$area/jre/bin" "$area/home" "$area/work"
cp "$E2E_BINDIR/talvex.exe" "$E2E_BINDIR/talvexMSG.dll" "$E2E_BINDIR/talvexUtil.dll" "$product/"
cp "$fakejava" "$area/jre/bin/java.exe"
printf 'name=lifecycle container\r\n' >"$area/work/container.ini"

wd_win="$area_win\\work"
jre_win="$area_win\\jre\\bin\\java.exe"
home_win="$area_win\\home"
classpath='lib\a.jar;lib\b.jar'

# --- refused install -----------------------------------------------------------

printf -v refusal '\nError: Java executable must be specified "%s"\n' -jre
expect_run "install without -jre" 0 "$refusal$(e2e_usage_text)
" -install "$svc" -wd "$wd_win" -cp "$classpath" -home "$home_win"
[ "$(state_of "$svc")" = none ] && e2e_pass "the refused install made no service" ||
    e2e_fail "the refused install made a service"

# --- install -------------------------------------------------------------------

expect_run "install" 0 "$svc installed.
" -install "$svc" -wd "$wd_win" -jre "$jre_win" -cp "$classpath" -home "$home_win" -xml container.ini -s 20

params=$(export_key "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters") || e2e_fail "no Parameters key"
expect_value "$params" WorkingDirectory "$(reg_text "$wd_win")"
expect_value "$params" JavaExe "$(reg_text "$jre_win")"
expect_value "$params" JavaArgs '""'
expect_value "$params" Classpath "$(reg_text "$classpath")"
expect_value "$params" BootClasspath '""'
expect_value "$params" OrvaneHome "$(reg_text "$home_win")"
expect_value "$params" BootFile '"container.ini"'
expect_value "$params" DirectoryServiceBootFile '""'
expect_value "$params" TimeoutSeconds '"0"'
expect_value "$params" ShutdownTimeoutSeconds '"20"'
expect_value "$params" PBE '""'
expect_value "$params" UtilDir "$(reg_text "$product_win")"
count=$(grep -c '^"' <<<"$params")
[ "$count" = 12 ] && e2e_pass "twelve parameters" || e2e_fail "$count parameters, expected 12"

key=$(export_key "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc") || e2e_fail "no service key"
expect_value "$key" Start 'dword:00000003'
expect_value "$key" ImagePath "$(reg_text "\"$product_win\\talvex.exe\"")"
expect_value "$key" DisplayName "\"$svc\""
expect_value "$key" Description \
    "$(reg_text "Runs the Quillet Orvane management framework container in the working directory '$wd_win'.")"

source_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$svc"
if wine reg query "$source_key" >"$scratch/source.raw" 2>/dev/null; then
    tr -d '\r' <"$scratch/source.raw" >"$scratch/source.txt"
    grep -qxF "    EventMessageFile    REG_EXPAND_SZ    $product_win\\talvexMSG.dll" "$scratch/source.txt" &&
        e2e_pass "event message file" || e2e_fail "event message file: $(grep EventMessageFile "$scratch/source.txt")"
    grep -qxF "    TypesSupported    REG_DWORD    0x7" "$scratch/source.txt" &&
        e2e_pass "types supported" || e2e_fail "types supported: $(grep TypesSupported "$scratch/source.txt")"
else
    e2e_fail "no event source key"
fi

# --- reinstall -----------------------------------------------------------------

expect_run "reinstall with -a" 0 "$svc changed.
" -install "$svc" -a -wd "$wd_win" -jre "$jre_win" -cp "$classpath" -home "$home_win" -xml container.ini -s 20
key=$(export_key "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc")
expect_value "$key" Start 'dword:00000002'

# --- start ---------------------------------------------------------------------

expect_run "start" 0 "$svc start requested.
" -start "$svc"
e2e_wait_sc_state "$svc" 4 30 && e2e_pass "RUNNING" || e2e_fail "not RUNNING (state $(state_of "$svc"))"
e2e_wait_event "$events" 0x40000001 "$svc" 30 && e2e_pass "container started event" || e2e_fail "no container started event"
expect_run "second start" 1 "Service $svc currently running. Ignoring start request." -start "$svc"
expect_run "remove while running" 1 "Service $svc currently running. Can't remove running service." -remove "$svc"

# --- dump ----------------------------------------------------------------------

log="$area/work/$svc.out"
expect_run "dump" 0 "$svc thread dump requested. Check the .out file.
" -dump "$svc"
# Wine cannot deliver Ctrl+Break to another process group, and the log file
# then says why; on Windows the container's thread dump lands there instead.
dump_line=""
for ((i = 0; i < 40; i++)); do
    dump_line=$(grep -aE 'Ctrl\+Break could not be sent due to: |Full thread dump' "$log" 2>/dev/null | head -1 | tr -d '\r')
    [ -n "$dump_line" ] && break
    sleep 0.25
done
[ -n "$dump_line" ] && e2e_pass "the dump request reached the service: $dump_line" ||
    e2e_fail "nothing about the dump in the log file"

# --- stop ----------------------------------------------------------------------

expect_run "stop" 0 "$svc stop requested.
" -stop "$svc"
e2e_wait_sc_state "$svc" 1 30 && e2e_pass "STOPPED" || e2e_fail "not STOPPED (state $(state_of "$svc"))"
e2e_wait_event "$events" 0x40000002 "$svc" 10 && e2e_pass "container ended event" || e2e_fail "no container ended event"
expect_run "second stop" 1 "Service $svc already stopped. Ignoring stop request." -stop "$svc"
expect_run "dump of a stopped service" 1 "Service $svc currently stopped." -dump "$svc"

# --- remove --------------------------------------------------------------------

expect_run "remove" 0 "$svc removed.
" -remove "$svc"
[ "$(state_of "$svc")" = none ] && e2e_pass "the manager no longer knows the service" ||
    e2e_fail "the manager still knows the service"
wine reg query "$source_key" >/dev/null 2>&1 && e2e_fail "the event source key is still there" ||
    e2e_pass "the event source key is gone"

# --- unknown service -----------------------------------------------------------

for command in -start -stop -dump -remove; do
    talvex "$command" "$svc" >"$scratch/out.raw" 2>/dev/null
    rc=$?
    text=$(tr -d '\r' <"$scratch/out.raw")
    e2e_expect_rc "$command of an unknown service" 1 "$rc"
    [[ "$text" == "OpenService failed - "?* ]] && e2e_pass "$command of an unknown service: $text" ||
        e2e_fail "$command of an unknown service printed [$text]"
done

e2e_finish
