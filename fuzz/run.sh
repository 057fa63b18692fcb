#!/usr/bin/env bash
# Builds the fuzz target and runs it for a given time (bash fuzz/run.sh 600).
# It starts from the seeds in fuzz/corpus and the inputs earlier runs found
# (kept in build/fuzz, never committed).  Exits non-zero on a crash, a leak or
# a failed check; the input is left as build/fuzz/crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run.sh <seconds>}
build=$root/build/fuzz
mkdir -p "$build/corpus"
{ [ -f "$build/CMakeCache.txt" ] || cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++; } >/dev/null
cmake --build "$build" >"$build/build.log" 2>&1 || { tail -30 "$build/build.log"; echo "fuzz: the target does not build"; exit 1; }
if "$build/parsers_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$build/" \
    "$build/corpus" "$root/fuzz/corpus" >"$build/fuzz.log" 2>&1; then
    echo "fuzz: ${seconds}s, $(grep -o 'cov: [0-9]*' "$build/fuzz.log" | tail -1), no crash"
else
    tail -30 "$build/fuzz.log"
    echo "fuzz: FAILED; the input is in $build/"
    exit 1
fi
