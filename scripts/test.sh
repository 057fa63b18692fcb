#!/usr/bin/env bash
# Runs every test: the native unit tests under AddressSanitizer and UBSan,
# the fuzz target, then the Windows build: its release zip, and the
# end-to-end scenarios under Wine.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

echo "== native unit tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== fuzz target for ${TALVEX_FUZZ_SECONDS:=20} s (longer: bash fuzz/run.sh 600)"
bash fuzz/run.sh "$TALVEX_FUZZ_SECONDS"

echo "== Windows build and tests under Wine"
cmake --preset mingw >/dev/null
cmake --build --preset mingw
# The release zip of this build: what it holds, its checksum and the file
# versions.  Building the release twice and comparing the bytes is
# bash scripts/package.sh --check.
TALVEX_BUILD_DIR="$root/build/mingw" bash scripts/package.sh
source scripts/wine-env.sh "$root/build/mingw"
trap talvex_wine_stop EXIT
ctest --preset mingw

# The soak adds about two minutes: CI runs it, and TALVEX_SOAK=1 (or 0)
# asks for it (or not) anywhere.
if [ "${TALVEX_SOAK:-}" = 1 ] || { [ -z "${TALVEX_SOAK:-}" ] && [ "${CI:-}" = true ]; }; then
    echo "== soak: 200 restart cycles under Wine"
    bash tests/soak/soak.sh "$root/build/mingw/bin"
fi
