#!/usr/bin/env bash
# Makes the packages (scripts/package.sh), installs the .deb on this machine
# with dpkg -i, tries the installed programs and removes the package again
# with dpkg -r. Then autopkgtest runs debian/tests against the package as it
# installs it, with the null runner: on this machine itself, the package
# removed again afterwards, also when a check fails. Last it tries the Windows
# zip and the MSI under Wine (scripts/test-windows-packages.sh). Needs root or
# sudo, as scripts/install-deps.sh does. Stops before installing anything if a
# scalepoll package is installed already: that one is not ours to remove.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh

version=$(dpkg-parsechangelog -S Version)
deb=dist/scalepoll_${version}_$(dpkg --print-architecture).deb
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Whatever dpkg has of the package, also a half-done installation.
known() { dpkg-query -W -f='${Status}' scalepoll 2>/dev/null | grep -qv 'not-installed$'; }

if known; then
  echo "test-package: a scalepoll package is installed already; remove it first (dpkg -r scalepoll)" >&2
  exit 1
fi

# shellcheck source=scripts/checks.sh
. scripts/checks.sh

# The build stops when debian/changelog's newest entry is for another version
# than project(): the package would carry a version its programs do not print.
other=$(mktemp -d)
git archive HEAD | tar -xf - -C "$other"
sed -i "1s/($version)/($version.1)/" "$other/debian/changelog"
if cmake -S "$other" -B "$other/build" -DSCALEPOLL_TESTS=OFF >/dev/null 2>"$other/errors"; then
  configured="configured"
else
  configured="stopped: $(tr -s ' \n' ' ' <"$other/errors" | grep -o "debian/changelog's newest entry is for \"[^\"]*\"")"
fi
check "a changelog for another version stops the build" \
  "stopped: debian/changelog's newest entry is for \"$version.1\"" "$configured"
rm -rf "$other"

files=(/usr/bin/scalepoll /usr/bin/scalepoll-sim /usr/bin/scalepoll-console /usr/bin/scalepoll-report
       /usr/share/man/man1/scalepoll.1.gz /usr/share/man/man1/scalepoll-sim.1.gz
       /usr/share/man/man1/scalepoll-console.1.gz /usr/share/man/man1/scalepoll-report.1.gz
       /usr/share/man/man5/scalepoll-trace.5.gz /usr/share/doc/scalepoll/README.md
       /usr/share/doc/scalepoll/copyright /usr/share/doc/scalepoll/changelog.gz)
# dpkg -r, and a check that it left nothing of the package.
remove_package() {
  if known; then
    "${sudo_cmd[@]}" dpkg -r scalepoll >/dev/null
  fi
  local left=()
  for file in "${files[@]}" /usr/share/doc/scalepoll; do [ ! -e "$file" ] || left+=("$file"); done
  check "dpkg -r leaves nothing of the package ($1)" "" "${left[*]}"
  check "dpkg -r: dpkg has nothing left of it ($1)" "" "$(known && dpkg-query -W -f='${Status}' scalepoll)"
}
remove() {
  local status=$?
  trap - EXIT
  [ "$status" -eq 0 ] || echo "test-package: stopped early (status $status); removing the package"
  remove_package "after autopkgtest"
  echo "test-package: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
}
trap remove EXIT

"${sudo_cmd[@]}" dpkg -i "$deb" >/dev/null
check "dpkg -i installs the package" "install ok installed" "$(dpkg-query -W -f='${Status}' scalepoll)"
check "the package's version" "$version" "$(dpkg-query -W -f='${Version}' scalepoll)"
for file in "${files[@]}"; do
  check "installed: $file" "$file" "$(ls -d "$file" 2>/dev/null)"
done

check "too few parameters: exactly the line and CR LF" \
  "$(printf '1;Not enough parameters\r\n' | od -An -tx1)" "$(/usr/bin/scalepoll | od -An -tx1)"
check "scalepoll --version is too few parameters" \
  "$(printf '1;Not enough parameters\r\n' | od -An -tx1)" "$(/usr/bin/scalepoll --version | od -An -tx1)"
check "scalepoll-sim --version" "scalepoll-sim $version" "$(/usr/bin/scalepoll-sim --version)"
check "scalepoll-console --version" "scalepoll-console $version" "$(/usr/bin/scalepoll-console --version)"
check "scalepoll-report --version" "scalepoll-report $version" "$(/usr/bin/scalepoll-report --version)"
trace=$(mktemp)
check "one weighing: the installed scalepoll against the installed scalepoll-sim" "0;3,0,1250" \
  "$(SCALEPOLL_TRACE=$trace timeout 60 /usr/bin/scalepoll-sim --station 3:weight=1250 -- \
       /usr/bin/scalepoll COM1 9600 8 None 1 3)"
check "the installed scalepoll-report counts the traced run" "runs: 1 results: 1 ok" \
  "$(/usr/bin/scalepoll-report "$trace" | sed -n 's/[,;].*//; 1p; 2p' | tr '\n' ' ' | sed 's/ $//')"
rm -f "$trace"
check "the installed manual page formats" "" \
  "$(LC_ALL=C.UTF-8 man --warnings -l /usr/share/man/man1/scalepoll.1.gz 2>&1 >/dev/null)"
remove_package "after dpkg -i"

# autopkgtest installs the package with its tests' dependencies itself.
# Status 0: every test passed (2 would be one skipped, 4 one failed).
autopkgtest_status=0
"${sudo_cmd[@]}" autopkgtest "dist/scalepoll_$version.dsc" "$deb" -- null || autopkgtest_status=$?
check "autopkgtest: debian/tests pass against the installed package" 0 "$autopkgtest_status"

# The Windows packages, under Wine.
if scripts/test-windows-packages.sh; then
  passed=$((passed + 1))
else
  echo "FAILED the Windows packages"
  failed=$((failed + 1))
fi
