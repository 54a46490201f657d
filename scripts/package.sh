#!/usr/bin/env bash
# Makes the release packages in dist/, from Release builds:
#
#   dist/scalepoll_<version>_<arch>.deb        scalepoll, scalepoll-sim, scalepoll-console and
#                                              scalepoll-report in /usr/bin, their manual
#                                              pages, the copyright
#                                              file and changelog; checked with lintian
#   dist/scalepoll-<version>-windows-x64.zip   scalepoll-<version>-windows-x64/ holding
#                                              scalepoll.exe and scalepoll-console.exe
#                                              (static: no DLL beside them), README.md and
#                                              LICENSE.txt with CR LF line ends
#   dist/scalepoll-<version>-x64.msi           the same four files for Program Files, the
#                                              folder on the system PATH, a Start-menu entry
#                                              for the console (scripts/make-msi.sh)
#
# The version is the one in project() in CMakeLists.txt; packaging/deb/changelog
# must have an entry for it at the top (its maintainer is the package's).
# Builds in build-pkg/ and build-win-pkg/. scripts/test-package.sh installs the
# .deb and tries it, and the MSI under Wine (scripts/test-windows-packages.sh).
# SCALEPOLL_WERROR=ON makes compiler warnings errors (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
umask 022

jobs=$(nproc 2>/dev/null || echo 2)
werror=-DSCALEPOLL_WERROR=${SCALEPOLL_WERROR:-OFF}
changelog=packaging/deb/changelog
# Timestamps in both packages: the last commit's, so a rebuild of the same
# commit gives the same files.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || dpkg-parsechangelog -l "$changelog" -S Timestamp)
export SOURCE_DATE_EPOCH
mkdir -p dist

# --- The Debian package ----------------------------------------------------
# Debian's build flags (hardening: fortified functions, stack protector,
# relro, bind now, PIE) under the Release build type's optimisation.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
build=build-pkg
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSCALEPOLL_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr "$werror" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$jobs"

version=$(cat "$build/version.txt")
changelog_version=$(dpkg-parsechangelog -l "$changelog" -S Version)
if [ "$changelog_version" != "$version" ]; then
  echo "package: $changelog's newest entry is $changelog_version, the project is $version: add an entry" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=dist/scalepoll_${version}_$arch.deb

root=$build/deb
rm -rf "$root"
DESTDIR=$root cmake --install "$build" >/dev/null
# Stripped as dh_strip does it.
for program in "$root"/usr/bin/*; do
  strip --remove-section=.comment --remove-section=.note --strip-unneeded "$program"
done
doc=$root/usr/share/doc/scalepoll
install -m 0644 packaging/deb/copyright "$doc/copyright"
gzip -9n <"$changelog" >"$doc/changelog.gz"
gzip -9n "$root"/usr/share/man/man1/*.1 "$root"/usr/share/man/man5/*.5

# The control file. dpkg-shlibdeps reads the binaries' libraries; it wants a
# debian/control beside it, which it does not use here.
mkdir -p "$root/DEBIAN" "$build/shlibdeps/debian"
: >"$build/shlibdeps/debian/control"
depends=$(cd "$build/shlibdeps" && dpkg-shlibdeps -O "$OLDPWD/$root"/usr/bin/* | sed -n 's/^shlibs:Depends=//p')
maintainer=$(dpkg-parsechangelog -l "$changelog" -S Maintainer)
installed_size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<EOF
Package: scalepoll
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $installed_size
Depends: $depends
Section: utils
Priority: optional
Description: reads weighing stations on a serial line, prints one result line
 scalepoll reads up to 14 weighing stations (scale indicators) that share one
 serial line: it sends a trigger frame, asks each station for its three
 readings, checks them, prints exactly one result line on standard output and
 exits. A program at the weighing site calls it with the serial settings and
 the stations to read. COM1 to COM4 name devices through the environment.
 .
 The package also holds scalepoll-sim, which simulates weighing stations on a
 pseudo-terminal for trying scalepoll without hardware,
 scalepoll-console, the serial settings dialog on a terminal, for technicians
 setting up the line, and scalepoll-report, which reports on the runs in
 scalepoll's line trace: results, silent stations, rejected replies and
 answer times, and a picture of one run.
EOF
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "package: $deb"

# lintian: no errors; warnings are shown.
lintian_out=$(lintian --info "$deb" 2>&1 | grep -v '^running with root privileges') || true
[ -z "$lintian_out" ] || printf '%s\n' "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
  echo "package: lintian found errors in $deb" >&2
  exit 1
fi

# --- The Windows zip and MSI ---------------------------------------------------
win=build-win-pkg
toolchain=()
[ -f "$win/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
cmake -S . -B "$win" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DSCALEPOLL_TESTS=OFF "$werror" >/dev/null
cmake --build "$win" -j "$jobs" --target scalepoll scalepoll-console

name=scalepoll-$version-windows-x64
zip=dist/$name.zip
stage=$win/zip
rm -rf "$stage"
mkdir -p "$stage/$name"
programs=(scalepoll.exe tools/console/window/scalepoll-console.exe)
for program in "${programs[@]}"; do
  exe=$stage/$name/$(basename "$program")
  x86_64-w64-mingw32-strip -o "$exe" "$win/$program"
  # Static: it may import only Windows' own DLLs, none of MinGW's C++ runtime.
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p')
  if foreign=$(grep -viE '^(kernel32|msvcrt|advapi32|user32|gdi32|comctl32|ws2_32|winmm|ucrtbase|api-ms-win-.*)\.dll$' <<<"$dlls"); then
    echo "package: $(basename "$exe") needs DLLs Windows does not have: $foreign" >&2
    exit 1
  fi
done
sed 's/$/\r/' README.md >"$stage/$name/README.md"
sed 's/$/\r/' LICENSE >"$stage/$name/LICENSE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name" "$stage/$name"/*
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -X -9 -q "$OLDPWD/$zip" "$name/" "$name/scalepoll.exe" "$name/scalepoll-console.exe" \
   "$name/README.md" "$name/LICENSE.txt")
echo "package: $zip"

msi=dist/scalepoll-$version-x64.msi
rm -f "$msi"
scripts/make-msi.sh "$stage/$name" "$version" "$msi"
echo "package: $msi"
