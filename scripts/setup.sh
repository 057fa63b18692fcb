#!/usr/bin/env bash
# Installs what the builds and tests need (Debian, as root).  Idempotent: it
# asks apt only for packages that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev
          wine64 wine g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools)
if [ "${TALVEX_WITH_FUZZ:-0}" = 1 ]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
