#!/usr/bin/env bash
# Installs the Debian packages the Windows cross build and its tests under Wine
# need, if any is missing: the MinGW-w64 C++ compiler, GoogleTest's sources
# (built for Windows inside the cross build) and 64-bit Wine.
set -euo pipefail

packages=(cmake make g++-mingw-w64-x86-64-posix googletest wine wine64)

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
