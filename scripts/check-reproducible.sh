#!/usr/bin/env bash
# Builds the packages a second time and compares them, byte for byte, with
# those scripts/package.sh left in dist/: the .deb, its -dbgsym .deb, the
# Windows zip and the MSI. The second build is of the commit checked out,
# cloned afresh into another folder, and differs from a usual build in what
# must not reach a package:
#   - the folder (under /tmp, a path of another length) and the files' times;
#   - the clock, a year and a month ahead (faketime);
#   - umask 0002, locale C.UTF-8, time zone 12 hours east, another HOME;
#   - no tests (DEB_BUILD_OPTIONS=nocheck): they build nothing that ships.
# Run it after scripts/package.sh on a tree with nothing uncommitted, so
# that dist/ holds that commit's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package

if [ -n "$(git status --porcelain)" ]; then
  echo "check-reproducible: commit or stash your changes first: dist/ must be the commit's own packages" >&2
  exit 2
fi
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
packages=("scalepoll_${version}_$arch.deb" "scalepoll-dbgsym_${version}_$arch.deb"
          "scalepoll-$version-windows-x64.zip" "scalepoll-$version-x64.msi")
for package in "${packages[@]}"; do
  [ -f "dist/$package" ] || { echo "check-reproducible: no dist/$package: run scripts/package.sh first" >&2; exit 2; }
done

second=$(mktemp -d /tmp/scalepoll-second-build.XXXXXX)
trap 'rm -rf "$second"' EXIT
git clone -q --no-checkout . "$second/scalepoll"
git -C "$second/scalepoll" checkout -q --detach "$(git rev-parse HEAD)"
mkdir "$second/home"
(
  cd "$second/scalepoll"
  umask 0002
  export LC_ALL=C.UTF-8 LANG=C.UTF-8 TZ=NZST-12 HOME=$second/home DEB_BUILD_OPTIONS="nocheck parallel=2"
  faketime -f +400d scripts/package.sh
) >"$second/build.log" 2>&1 || { tail -n 40 "$second/build.log" >&2; echo "check-reproducible: the second build failed" >&2; exit 1; }

differ=()
for package in "${packages[@]}"; do
  if cmp -s "dist/$package" "$second/scalepoll/dist/$package"; then
    echo "reproducible: $package"
  else
    differ+=("$package")
  fi
done
if ((${#differ[@]})); then
  echo "check-reproducible: the second build differs in ${differ[*]} (diffoscope shows where)" >&2
  exit 1
fi
