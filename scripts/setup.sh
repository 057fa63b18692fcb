#!/usr/bin/env bash
# Installs what the builds and tests need (Debian, as root).  Idempotent: it
# asks apt only for packages that are missing.
set -euo pipefail

# clang and its runtime libraries build the libFuzzer targets that the test
# command runs; python3 checks the soak's log.
packages=(cmake ninja-build g++ googletest libgtest-dev
          wine64 wine g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
          clang libclang-rt-14-dev python3)

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
