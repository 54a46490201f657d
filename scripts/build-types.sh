#!/usr/bin/env bash
# Builds everything, tests included, in every CMake build type (Debug,
# Release, RelWithDebInfo, MinSizeRel) with GCC and with clang, warnings as
# errors, in build-types/<compiler>-<type>/. Builds only; scripts/test.sh runs
# the tests. About 15 minutes on two cores.
#
#   scripts/build-types.sh [TYPE ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

types=("$@")
((${#types[@]})) || types=(Debug Release RelWithDebInfo MinSizeRel)
compilers=(g++ "$(command -v clang++-14 || command -v clang++)")
jobs=$(nproc 2>/dev/null || echo 2)
failed=()
for compiler in "${compilers[@]}"; do
  for type in "${types[@]}"; do
    dir=build-types/$(basename "$compiler")-$type
    echo "== $dir"
    if ! { CXX=$compiler cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSCALEPOLL_WERROR=ON >/dev/null &&
           cmake --build "$dir" -j "$jobs" >"$dir.log" 2>&1; }; then
      grep -E 'error|warning' "$dir.log" | head -n 20 || true
      failed+=("$dir")
    fi
  done
done
if ((${#failed[@]})); then
  echo "failed: ${failed[*]} (logs beside them)" >&2
  exit 1
fi
echo "every build type built with ${compilers[*]}"
