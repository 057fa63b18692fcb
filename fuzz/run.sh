#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a given time.
#
#   bash fuzz/run.sh <seconds-per-target> [target...]
#
# Each target starts from its committed seeds (fuzz/corpus/<target>) plus the
# inputs earlier runs found (kept in the build directory, never committed).
# Environment:
#   FUZZ_BUILD_DIR   build directory (default: build/fuzz)
#   FUZZ_PARALLEL    targets run at the same time (default 1)
# Exits non-zero when a target finds a crash, a leak or a failed check; the
# input that caused it is left as <build>/artifacts/<target>/crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run.sh <seconds-per-target> [target...]}
shift
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
parallel=${FUZZ_PARALLEL:-1}

all_targets=(exit_marker_fuzz start_script_fuzz install_options_fuzz service_config_fuzz
             launch_command_fuzz path_override_fuzz)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

mkdir -p "$build"
if ! { [ -f "$build/CMakeCache.txt" ] ||
       cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++; } \
       >"$build/configure.log" 2>&1 ||
   ! cmake --build "$build" -j 2 >"$build/build.log" 2>&1; then
    cat "$build/configure.log" "$build/build.log" 2>/dev/null
    echo "fuzz: the targets did not build"
    exit 1
fi

run_one() {
    local target=$1
    local work="$build/corpus/$target" artifacts="$build/artifacts/$target"
    mkdir -p "$work" "$artifacts"
    # -timeout: one input taking longer than this counts as a hang.
    # -rss_limit_mb: a runaway allocation counts as a crash.
    if "$build/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
           -print_final_stats=1 -artifact_prefix="$artifacts/" \
           "$work" "$root/fuzz/corpus/$target" >"$build/$target.log" 2>&1; then
        local runs
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$target.log" | grep -o '[0-9]*$' || echo '?')
        local cov
        cov=$(grep -o 'cov: [0-9]*' "$build/$target.log" | tail -1 || true)
        echo "fuzz: $target: ${seconds}s, $runs inputs, $cov, no crash"
        return 0
    fi
    echo "fuzz: $target FAILED; log $build/$target.log, input in $artifacts/"
    grep -E 'ERROR|fuzz check failed|SUMMARY' "$build/$target.log" | head -5 || true
    return 1
}

failed=0
running=0
pids=()
for target in "${targets[@]}"; do
    run_one "$target" &
    pids+=($!)
    running=$((running + 1))
    if [ "$running" -ge "$parallel" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
        running=$((running - 1))
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
