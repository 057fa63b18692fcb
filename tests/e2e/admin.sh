#!/usr/bin/env bash
# The administration commands under Wine's service manager, as an
# administrator uses them: the entry point without arguments, a refused and a
# real install (every registry value read back), reinstall, a name outside
# the ANSI code page refused, start, a refusal,
# a thread dump and a stop of a container that has been quiet for a while,
# and remove.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

svc=TalvexAdmin
product="$WINEPREFIX/drive_c/Program Files/Talvex Admin"
product_win='C:\Program Files\Talvex Admin'
out=$E2E_SCRATCH/out

# A service that loads user32 takes a share of the desktop heap that Windows
# gives its services sparingly (and under Wine some 4 MB of memory more).
e2e_check "talvex.exe loads no user interface" "ADVAPI32.dll KERNEL32.dll msvcrt.dll" \
    "$(x86_64-w64-mingw32-objdump -p "$E2E_BINDIR/talvex.exe" | awk '/DLL Name/ { print $3 }' | sort | xargs)"

# run <args...>: talvex.exe from a folder with a blank in its name; its
# output, without the console's carriage returns, is in $out; $rc its code.
run() {
    wine "$product_win\\talvex.exe" "$@" 2>/dev/null | tr -d '\r' >"$out"
    rc=${PIPESTATUS[0]}
}

# expect <what> <exit code> <output>
expect() {
    e2e_check "$1: exit code" "$2" "$rc"
    e2e_check "$1: output" "$3" "$(cat "$out")"
}

# A value of a service's key; Wine's reg, which now and then answers with
# nothing on a loaded machine, is asked again before the value counts as missing.
value() {
    local text try
    for try in 1 2 3; do
        text=$(wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1" /v "$2" 2>/dev/null | tr -d '\r')
        [ -n "$text" ] && break
        sleep 0.5
    done
    echo "$text" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

e2e_trace_events
e2e_remove_service "$svc"
wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$svc" /f >/dev/null 2>&1
e2e_area talvex-admin
printf 'name=admin\r\n' >"$AREA/work/container.ini"
rm -rf "$product"
mkdir -p "$product"
cp "$E2E_BINDIR"/talvex.exe "$E2E_BINDIR"/talvexMSG.dll "$E2E_BINDIR"/talvexUtil.dll "$product/"

# --- no arguments, by the module path: the dispatcher, and its failure as an event --

WINEDEBUG=+eventlog wine "$E2E_BINDIR/talvex.exe" >"$out" 2>"$E2E_SCRATCH/err"
e2e_check "full path: exit code" 0 $?
e2e_check "full path: dispatcher notice" $'StartServiceCtrlDispatcher being called.\r\nThis may take several seconds.  Please wait.\r' \
    "$(tail -2 "$out")"
e2e_check "full path: the dispatcher's failure is an event" "0xc0000006	L\"${E2E_EXE_WIN//\\/\\\\}\"	L\"StartServiceCtrlDispatcher failed.\"" \
    "$(e2e_events "$E2E_SCRATCH/err")"

# --- install -------------------------------------------------------------------

wd="$AREA_WIN\\work" jre="$AREA_WIN\\jre\\bin\\java.exe"
run -install "$svc" -wd "$wd" -jre "$jre" -cp "$(printf 'c%.0s' {1..33000})" -home "$AREA_WIN"
# Wine cannot even start a program with so long a command line; Windows
# starts it, and talvex refuses the class path (the unit tests check how).
e2e_check "install with a 33,000-character class path" "1 none" "$rc $(talvex_sc "$svc" STATE)"
# A Parameters key as an older version left it, which any user could read.
wine reg add "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" /v PBE /d old /f >/dev/null 2>&1
run -install "$svc" -wd "$wd" -jre "$jre" -cp 'a.jar;b.jar' -home "$AREA_WIN" -xml container.ini -s 20
expect install 0 "$svc installed."
e2e_check "the parameters are readable by administrators and SYSTEM only" "D:P(A;;KA;;;SY)(A;;KA;;;BA)" \
    "$(e2e_tool sddl "SYSTEM\\CurrentControlSet\\Services\\$svc\\Parameters" | sed 's/(A;;KR;;;S-1-5-80-[-0-9]*)$//')"
params=""
for v in WorkingDirectory JavaExe Classpath OrvaneHome BootFile TimeoutSeconds ShutdownTimeoutSeconds UtilDir; do
    params+="$v=$(value "$svc\\Parameters" $v);"
done
e2e_check "parameters" "WorkingDirectory=$wd;JavaExe=$jre;Classpath=a.jar;b.jar;OrvaneHome=$AREA_WIN;BootFile=container.ini;TimeoutSeconds=0;ShutdownTimeoutSeconds=20;UtilDir=$product_win;" "$params"
e2e_check "service" "3|\"$product_win\\talvex.exe\"|$svc" "$(value "$svc" Start | sed 's/0x//')|$(value "$svc" ImagePath)|$(value "$svc" DisplayName)"
# At system shutdown Windows waits the shutdown timeout and 30 s more.
e2e_check "preshutdown timeout" 0xc350 "$(value "$svc" PreshutdownTimeout)"
e2e_check "event source" "$product_win\\talvexMSG.dll|0x7" \
    "$(value "EventLog\\Application\\$svc" EventMessageFile)|$(value "EventLog\\Application\\$svc" TypesSupported)"
run -install "$svc" -a -wd "$wd" -jre "$jre" -cp 'a.jar;b.jar' -home "$AREA_WIN" -xml container.ini -s 20 -account localservice
e2e_check "reinstall under LocalService: exit code, answer" "0 $svc changed." "$rc $(head -1 "$out")"
e2e_check "reinstall: automatic start, the account" "0x2 NT AUTHORITY\\LocalService" "$(value "$svc" Start) $(value "$svc" ObjectName)"
# Wine maps no service SID: the rights are left to the administrator, and said.
grep -qF "Warning: NT SERVICE\\$svc could not be given modify rights on $wd" "$out" &&
    e2e_pass "reinstall: the working directory's rights are said" || e2e_fail "reinstall: $(cat "$out")"
# "Talvex", an A with a macron and "dmin" arrives in the ANSI code page as
# this service's name: the command refuses it and removes nothing.
run -x
e2e_tool run "\"$product_win\\talvex.exe\" -remove Talvex\\u0100dmin" >"$E2E_SCRATCH/refused"
rc=$?
e2e_check "a name the ANSI code page cannot hold: exit code, usage text, service kept" "1|$(cat "$out")|1" \
    "$rc|$(cat "$E2E_SCRATCH/refused")|$(talvex_sc "$svc" STATE)"

# --- start, refusals, dump, stop ------------------------------------------------

run -start "$svc"
expect start 0 "$svc start requested."
e2e_wait 30 'e2e_in_state "$svc" 4' || e2e_fail "not RUNNING"
e2e_wait 30 '[ "$(e2e_count 0x40000001 "L\"$svc\"")" = 1 ]' || e2e_fail "no container started event"
run -start "$svc"
expect "second start" 1 "Service $svc currently running. Ignoring start request."
# A container that has been quiet for a while is polled seldom: the dump and
# the stop are still taken up at once.
sleep 3
run -dump "$svc"
expect dump 0 "$svc thread dump requested. Check the .out file."
log="$AREA/work/$svc.out"
dumped() { grep -aqE 'Ctrl\+Break could not be sent due to: |Full thread dump' "$log"; }
e2e_wait 10 dumped ||
    e2e_fail "nothing about the dump in the log file"
run -stop "$svc"
expect stop 0 "$svc stop requested."
e2e_wait 30 'e2e_in_state "$svc" 1' || e2e_fail "not STOPPED"
e2e_check "exit codes after a stop" "0 0" "$(talvex_sc "$svc" WIN32_EXIT_CODE) $(talvex_sc "$svc" SERVICE_EXIT_CODE)"
e2e_check "container ended event" 1 "$(e2e_count 0x40000002 "L\"$svc\"")"

# --- remove -----------------------------------------------------------------------

run -remove "$svc"
expect remove 0 "$svc removed."
e2e_check "the service is gone" none "$(talvex_sc "$svc" STATE)"
e2e_check "the event source is gone" "" "$(value "EventLog\\Application\\$svc" TypesSupported)"

rm -rf "$product" "$AREA"
wineserver -k >/dev/null 2>&1
e2e_finish
