#!/usr/bin/env bash
# Cross-builds scalepoll.exe, scalepoll-console.exe and their tests for 64-bit
# Windows in build-win/.
# SCALEPOLL_WERROR=ON (as scripts/test.sh sets it) makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows

toolchain=()
[ -f build-win/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
cmake -S . -B build-win "${toolchain[@]}" -DSCALEPOLL_WERROR="${SCALEPOLL_WERROR:-OFF}" >/dev/null
cmake --build build-win -j "$(nproc 2>/dev/null || echo 2)"
