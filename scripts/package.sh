#!/usr/bin/env bash
# The release an administrator installs: builds talvex.exe, talvexMSG.dll and
# talvexUtil.dll in release mode (build/release), writes
# dist/talvex-<version>-win64.zip with them, the administrator's guide and the
# license, dist/talvex-<version>-x64.msi with the same files (wixl), and
# dist/SHA256SUMS beside them, then checks what it wrote.
#
#   bash scripts/package.sh           the release build and its zip
#   bash scripts/package.sh --check   the same, then a second build from nothing
#                                     (build/release-check) whose zip must be
#                                     the same bytes (the MSI's files are
#                                     compared with the zip's)
#
# TALVEX_BUILD_DIR packages an existing Windows build instead, whose set-up
# has been done (the test command packages build/mingw); its zip goes to
# <that build>/dist.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

check=0
case "${1:-}" in
    "") ;;
    --check) check=1 ;;
    *) echo "usage: bash scripts/package.sh [--check]" >&2; exit 2 ;;
esac

product_targets=(talvex talvexMSG talvexUtil)
# release_build <build dir>: the three product files, built in release mode.
release_build() {
    cmake --preset release -B "$1" >/dev/null
    cmake --build "$1" --target "${product_targets[@]}"
}

if [ -n "${TALVEX_BUILD_DIR:-}" ]; then
    build=$TALVEX_BUILD_DIR
    dist=$build/dist
    cmake --build "$build" --target "${product_targets[@]}"
else
    bash scripts/setup.sh
    build=build/release
    dist=dist
    echo "package: building the release in $build"
    release_build "$build"
fi
rm -rf "$dist"
python3 scripts/package.py make "$build/bin" "$dist"
python3 scripts/package.py verify "$dist"

if [ "$check" = 1 ]; then
    again=build/release-check
    echo "package: building again from nothing in $again, to compare"
    rm -rf "$again"
    release_build "$again"
    python3 scripts/package.py make "$again/bin" "$again/dist"
    same=1
    # The MSI's summary holds its build time and package code, so its bytes
    # differ between builds; verify compared its files with the zip's.
    for f in "$dist"/*.zip; do
        cmp "$f" "$again/dist/${f##*/}" || same=0
    done
    [ "$(grep '\.zip$' "$dist/SHA256SUMS")" = "$(grep '\.zip$' "$again/dist/SHA256SUMS")" ] || same=0
    for f in talvex.exe talvexMSG.dll talvexUtil.dll; do
        cmp "$build/bin/$f" "$again/bin/$f" || same=0
    done
    if [ "$same" = 0 ]; then
        echo "package: FAIL: the two builds differ (cmp above names the first differing byte)"
        exit 1
    fi
    echo "package: both builds gave the same bytes ($(cut -c1-16 "$dist/SHA256SUMS")...)"
fi
