#!/usr/bin/env bash
# The release MSI under Wine's msiexec: a silent install puts the zip's files,
# byte for byte, in C:\Program Files\talvex; an MSI of a higher version
# replaces it and the older is then refused; a silent removal takes them
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
# An MSI of a higher version (the same files, another VERSION) over it leaves
# one product, the newer; the older one is then refused.
up=$E2E_SCRATCH/up
mkdir -p "$up/files" && msiextract -C "$up/x" "$msi" >/dev/null && cp "$up/x/talvex/"* "$up/files/"
python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import package; package.version = lambda: '99.0.0'
package.make_msi(sys.argv[2], sys.argv[3])" "$(dirname "$0")/../../scripts" "$up/files" "$up" || e2e_fail "no MSI 99.0.0"
newer_win=$(wine winepath -w "$up/talvex-99.0.0-x64.msi" 2>/dev/null | tr -d '\r')
wine msiexec /i "$newer_win" /qn >/dev/null 2>&1
e2e_check "upgrade: exit code" 0 $?
products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        grep -A20 'DisplayName *REG_SZ *talvex$' | sed -n 's/^ *DisplayVersion *REG_SZ *//p' | xargs
}
e2e_check "upgrade: one product, the newer" 99.0.0 "$(products)"
wine msiexec /i "$msi_win" /qn >/dev/null 2>&1 && e2e_fail "downgrade: the older MSI went in" || e2e_pass "downgrade refused"
wine msiexec /x "$newer_win" /qn >/dev/null 2>&1
e2e_check "removal: exit code" 0 $?
e2e_check "removal: the files are gone" 0 "$(ls "$folder" 2>/dev/null | wc -l)"
e2e_finish
