# Sourced by the scripts that run Windows programs: a Wine prefix kept in the
# build tree, a quiet Wine, and a Wine server that stays up for the whole run
# (without it a service process dies with the last ordinary Wine process).
# Usage: source scripts/wine-env.sh <build dir>
talvex_build_dir=${1:?build directory}
mkdir -p "$talvex_build_dir"
talvex_build_dir=$(cd "$talvex_build_dir" && pwd)
export WINEPREFIX="$talvex_build_dir/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Start the service manager once before the first StartService: the very
# first start right after a prefix was made can fail otherwise.
wineserver -p >/dev/null 2>&1 || true
wine sc query >/dev/null 2>&1 || true

talvex_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
}

source "$(dirname "${BASH_SOURCE[0]}")/wine-services.sh"
