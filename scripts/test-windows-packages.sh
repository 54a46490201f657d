#!/usr/bin/env bash
# Tries the Windows packages that scripts/package.sh made: the zip's files,
# and the MSI under Wine, in a fresh prefix of its own in a temporary folder.
#
# The MSI is installed quietly (msiexec /i /qn); a new command prompt must
# find scalepoll through the system PATH and get the too-few line from it.
# Then a later version, built here from the same files, is installed over it
# and must replace it (one product, one folder, one PATH entry, one
# shortcut), and uninstalling that (msiexec /x /qn) must leave no file, PATH
# entry, shortcut or product entry behind. Run after scripts/package.sh, as
# scripts/test-package.sh does. Nothing here opens a serial port.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/checks.sh
. scripts/checks.sh

version=$(cat build-win-pkg/version.txt)
project_version=$version  # what the programs print, whichever MSI carries them
name=scalepoll-$version-windows-x64
zip=dist/$name.zip
msi=dist/scalepoll-$version-x64.msi

echo "The Windows zip:"
check "the zip's files" \
  "$name/ $name/LICENSE.txt $name/README.md $name/scalepoll-console.exe $name/scalepoll.exe" \
  "$(zipinfo -1 "$zip" | LC_ALL=C sort | xargs)"

work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all
# No Linux menu entries for the shortcut (winemenubuilder), no Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
finish() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
started=$(date +%s%N)
elapsed() { echo "$((($(date +%s%N) - started) / 1000000)) ms"; }

# The same files as a later version: the upgrade's other half.
later=${version%.*}.$((${version##*.} + 1))
scripts/make-msi.sh "build-win-pkg/zip/$name" "$later" "$work/later.msi"

wineboot -i >/dev/null 2>&1
wineserver -w
echo "msi: Wine ready after $(elapsed)"
folder=$WINEPREFIX/drive_c/Program\ Files/scalepoll
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

# The system PATH as the registry holds it, and its entries one a line.
# A failed query says so, so that it is not taken for a missing entry.
system_path() {
  local listing
  listing=$(wine reg query "$environment" /v PATH) || echo "msi: reg query failed (status $?)" >&2
  tr -d '\r' <<<"$listing" | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
path_entries() { system_path | tr ';' '\n'; }
# The versions of every installed product named scalepoll.
installed() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
    awk '/^HKEY/ { name = ""; version = "" }
         $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
         name == "scalepoll" && version != "" { print version; name = "" }' | xargs
}
shortcuts() { find "$WINEPREFIX/drive_c" -name 'scalepoll settings console.lnk' | wc -l; }
files() { (cd "$folder" 2>/dev/null && LC_ALL=C ls | xargs); }
path_before=$(system_path)

# What a site has after installing VERSION, read once the installer and every
# process of its session have ended, as a user meets it later: the PATH entry
# read while they were still ending was once found missing.
check_installed() {
  local version=$1
  wineserver -w
  check "$version: the product is installed once" "$version" "$(installed)"
  check "$version: the files in Program Files\\scalepoll" \
    "LICENSE.txt README.md scalepoll-console.exe scalepoll.exe" "$(files)"
  check "$version: the folder on the system PATH, once" 'C:\Program Files\scalepoll\' \
    "$(path_entries | grep -i scalepoll)"
  check "$version: one Start-menu entry for the console" 1 "$(shortcuts)"
  # A new command prompt takes the system PATH from the registry.
  wineserver -w
  check "$version: scalepoll through PATH in a new command prompt: the too-few line" \
    "$(printf '1;Not enough parameters\r\n' | od -An -tx1)" "$(wine cmd /c scalepoll 2>/dev/null | od -An -tx1)"
  check "$version: the console through PATH" "scalepoll-console $project_version" \
    "$(wine cmd /c scalepoll-console --version 2>/dev/null | tr -d '\r')"
}

echo "The MSI under Wine ($(du -k "$msi" | cut -f1) KiB):"
wine msiexec /i "$msi" /qn
echo "msi: installed after $(elapsed)"
check_installed "$version"

wine msiexec /i "$work/later.msi" /qn
echo "msi: $later installed over it after $(elapsed)"
check_installed "$later"

wine msiexec /x "$work/later.msi" /qn
wineserver -w
echo "msi: uninstalled after $(elapsed)"
check "uninstalled: no product left" "" "$(installed)"
check "uninstalled: no Program Files\\scalepoll" "" "$(ls -d "$folder" 2>/dev/null)"
check "uninstalled: no PATH entry" "" "$(path_entries | grep -i scalepoll)"
check "uninstalled: the PATH as it was before" "$path_before" "$(system_path)"
check "uninstalled: no Start-menu entry" 0 "$(shortcuts)"
check "uninstalled: no registry key of its own" "" \
  "$(wine reg query 'HKLM\Software\scalepoll' 2>/dev/null | tr -d '\r' | grep -i scalepoll)"

echo "test-windows-packages: $passed passed, $failed failed ($(elapsed))"
[ "$failed" -eq 0 ]
