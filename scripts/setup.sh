#!/usr/bin/env bash
# Installs what the builds and tests need (Debian, as root).  Idempotent: it
# asks apt only for packages that are missing.
#
# apt-get and dpkg write some hundreds of lines the first time, a few of which
# only sound alarming ("debconf: delaying package configuration").  They go to
# build/setup.log; the console gets one line per step, and the end of that
# file when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# clang and its runtime libraries build the libFuzzer targets that the test
# command runs; python3 checks the soak's log, renders the demo's log and
# events, and writes the release zip.
packages=(cmake ninja-build g++ googletest libgtest-dev
          wine64 wine g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
          clang libclang-rt-14-dev python3)
# zlib, which gzips the rotated log files: for the MinGW build, linked
# statically into talvex.exe, and for the native tests and the fuzz target.
packages+=(libz-mingw-w64-dev zlib1g-dev)
# The Prometheus client library for Python, a dependency of the tests.
packages+=(python3-prometheus-client)
# The MSI: wixl builds it, msitools reads it back.
packages+=(wixl msitools)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all ${#packages[@]} packages are installed"
    exit 0
fi

log=$root/build/setup.log
mkdir -p "$root/build"
: >"$log"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

# run <what> <command...>: the command's whole output goes to the log; a
# failure shows the log's last lines and ends the set-up.
run() {
    local what=$1
    shift
    echo "==== $what: $*" >>"$log"
    if ! "$@" >>"$log" 2>&1; then
        echo "setup: $what failed; the last lines of ${log#$root/}:" >&2
        tail -n 25 "$log" | sed 's/^/  | /' >&2
        exit 1
    fi
}

echo "setup: ${#missing[@]} package(s) missing: ${missing[*]}"
echo "setup: the first time this takes a few minutes; apt's full output goes to ${log#$root/}"
echo "setup: reading the package lists (apt-get update)"
run "apt-get update" $SUDO apt-get update
# What apt will install besides the missing packages themselves: it counts
# the packages they depend on, which the simulation lists one a line.
count=$(apt-get install -s --no-install-recommends "${missing[@]}" 2>>"$log" | grep -c '^Inst ' || true)
echo "setup: installing ${count} packages (the missing ones and what they need)"
run "apt-get install" $SUDO env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: done"
