#!/usr/bin/env bash
# Makes the release packages in dist/:
#
#   dist/scalepoll_<version>_<arch>.deb        scalepoll, scalepoll-sim, scalepoll-console and
#                                              scalepoll-report in /usr/bin, their manual
#                                              pages, README.md, the copyright file and
#                                              changelog; its debug symbols in
#                                              scalepoll-dbgsym_<version>_<arch>.deb
#   dist/scalepoll_<version>.dsc, .tar.xz      the Debian source package, with the
#                                              .buildinfo and .changes of the build
#   dist/scalepoll-<version>-windows-x64.zip   scalepoll-<version>-windows-x64/ holding
#                                              scalepoll.exe and scalepoll-console.exe
#                                              (static: no DLL beside them), README.md and
#                                              LICENSE.txt with CR LF line ends
#   dist/scalepoll-<version>-x64.msi           the same four files for Program Files, the
#                                              folder on the system PATH, a Start-menu entry
#                                              for the console (scripts/make-msi.sh)
#
# The Debian packages come from dpkg-buildpackage (debian/), which runs the
# tests that need no guest or Wine unless DEB_BUILD_OPTIONS holds nocheck;
# lintian --pedantic checks the source and binary packages and must find
# nothing. The version is the one in project() in CMakeLists.txt; the build
# stops unless debian/changelog's newest entry is for it.
# dpkg-buildpackage writes next to the source tree, so it builds a copy in
# build-deb/: the files git has or would add, as they are in the working tree.
# The Windows build is in build-win-pkg/. scripts/test-package.sh installs the
# .deb and tries it, and the MSI under Wine (scripts/test-windows-packages.sh);
# scripts/check-reproducible.sh builds them all again and compares.
# SCALEPOLL_WERROR=ON makes compiler warnings errors (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package

jobs=$(nproc 2>/dev/null || echo 2)
werror=-DSCALEPOLL_WERROR=${SCALEPOLL_WERROR:-OFF}
version=$(dpkg-parsechangelog -S Version)
# Dates in every package: the newest changelog entry's, as dpkg-buildpackage
# takes it, so a rebuild of the same source gives the same files.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
export SOURCE_DATE_EPOCH
mkdir -p dist

# --- The Debian packages -------------------------------------------------------
deb_build=build-deb
source_copy=$deb_build/scalepoll-$version
rm -rf "$deb_build"
mkdir -p "$source_copy"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [ ! -e "$file" ] || printf '%s\0' "$file"; done |
  tar --null --no-recursion -T - -cf - | tar -xf - -C "$source_copy"
(cd "$source_copy" && dpkg-buildpackage -us -uc -j"$jobs")
arch=$(dpkg --print-architecture)
debian_files=("$deb_build"/scalepoll_"$version".dsc "$deb_build"/scalepoll_"$version".tar.xz
              "$deb_build"/scalepoll_"$version"_"$arch".{deb,buildinfo,changes}
              "$deb_build"/scalepoll-dbgsym_"$version"_"$arch".deb)
cp "${debian_files[@]}" dist/
echo "package: dist/scalepoll_${version}_$arch.deb and the source package"

# lintian on the source and binary packages, with its pedantic tags too:
# anything it says stops the release (debian/*lintian-overrides hold the
# exceptions, each with its reason).
lintian_status=0
lintian_out=$(lintian --pedantic --fail-on error,warning,info,pedantic "dist/scalepoll_${version}_$arch.changes" 2>&1) ||
  lintian_status=$?
grep -v '^running with root privileges' <<<"$lintian_out" || true
if [ "$lintian_status" -ne 0 ]; then
  echo "package: lintian has something to say on the Debian packages (status $lintian_status)" >&2
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
# The zip keeps each file's time and mode: the changelog's date, and modes
# that do not follow the umask of whoever builds it.
chmod 0755 "$stage/$name" "$stage/$name"/*.exe
chmod 0644 "$stage/$name/README.md" "$stage/$name/LICENSE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name" "$stage/$name"/*
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -X -9 -q "$OLDPWD/$zip" "$name/" "$name/scalepoll.exe" "$name/scalepoll-console.exe" \
   "$name/README.md" "$name/LICENSE.txt")
echo "package: $zip"

msi=dist/scalepoll-$version-x64.msi
rm -f "$msi"
scripts/make-msi.sh "$stage/$name" "$version" "$msi"
echo "package: $msi"
