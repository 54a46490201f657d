#!/usr/bin/env bash
# Builds scalepoll twice, plainly and with AddressSanitizer + UndefinedBehavior-
# Sanitizer, and runs the whole test suite in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

run_build build
run_build build-asan -DSCALEPOLL_SANITIZE=ON
