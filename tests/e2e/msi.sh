#!/usr/bin/env bash
# The release MSI under Wine's msiexec: a silent install puts the zip's files,
# byte for byte, in C:\Program Files\talvex, and a silent removal takes them
# away again; no service is touched.  The MSI is the one scripts/package.sh
# wrote for this build (<build>/dist).
set -uo pipefail
source "$(dirname "$0")/lib.sh"
e2e_init "$1"

msi=$(ls "$(dirname "$E2E_BINDIR")"/dist/talvex-*-x64.msi 2>/dev/null | head -1)
[ -n "$msi" ] || { e2e_fail "no MSI: run scripts/package.sh with TALVEX_BUILD_DIR first"; e2e_finish; }
msi_win=$(wine winepath -w "$msi" 2>/dev/null | tr -d '\r')
folder="$WINEPREFIX/drive_c/Program Files/talvex"
rm -rf "$folder"
wine msiexec /i "$msi_win" /qn >/dev/null 2>&1
e2e_check "install: exit code" 0 $?
for f in talvex.exe talvexMSG.dll talvexUtil.dll; do
    cmp -s "$folder/$f" "$E2E_BINDIR/$f" && e2e_pass "install: $f as built" || e2e_fail "install: $f missing or changed"
done
e2e_check "install: the guide and the license" "ADMINISTRATORS-GUIDE.txt LICENSE" \
    "$(cd "$folder" 2>/dev/null && ls ADMINISTRATORS-GUIDE.txt LICENSE | xargs)"
wine msiexec /x "$msi_win" /qn >/dev/null 2>&1
e2e_check "removal: exit code" 0 $?
e2e_check "removal: the files are gone" 0 "$(ls "$folder" 2>/dev/null | wc -l)"
e2e_finish
