#!/usr/bin/env bash
# Installs the Debian packages a build needs, if any is missing.
#   scripts/install-deps.sh           the Linux build, its tests, fuzzers and benchmarks
#   scripts/install-deps.sh windows   the Windows cross build (MinGW-w64, GoogleTest's
#                                     sources to build for Windows) and Wine for its tests
#   scripts/install-deps.sh package   what scripts/package.sh and its tests need: debhelper,
#                                     the Debian package's build dependencies (its tests
#                                     among them), lintian, autopkgtest, faketime for the
#                                     reproducibility check; zip, MinGW-w64 for the Windows
#                                     zip, wixl and msitools for the MSI, Wine and unzip to try them
#   scripts/install-deps.sh docs      the README's pictures: headless Chromium to draw
#                                     the run timeline's SVG (scripts/timeline-picture.sh)
set -euo pipefail

case "${1:-linux}" in
  linux) packages=(cmake make g++ libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev libbenchmark-dev
                   libncurses-dev tmux strace man-db qemu-system-x86 busybox-static ser2net) ;;
  windows) packages=(cmake make g++-mingw-w64-x86-64-posix googletest wine wine64 ser2net
                     # the settings window's test: a virtual display, X input, the window's picture
                     # and reading it back
                     xvfb xdotool imagemagick tesseract-ocr) ;;
  package) packages=(dpkg-dev debhelper lintian autopkgtest faketime zip g++-mingw-w64-x86-64-posix
                     # debian/control's Build-Depends, the tests' included
                     build-essential cmake libncurses-dev libgtest-dev tmux ser2net man-db
                     # the MSI: built by wixl, its PATH entry added by msitools, tried under Wine;
                     # unzip lists the zip
                     wixl msitools wine wine64 unzip) ;;
  docs) packages=(chromium fonts-dejavu-core) ;;
  *) echo "usage: $0 [linux|windows|package|docs]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
