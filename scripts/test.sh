#!/usr/bin/env bash
# The whole test suite, as CI runs it:
#   - a plain build and an AddressSanitizer + UndefinedBehaviorSanitizer build,
#     each with every test: unit tables, whole runs in virtual time, end-to-end
#     runs over pseudo-terminals, faults on the line, the console in tmux;
#   - every fuzz target for a bounded time (scripts/fuzz.sh);
#   - the Windows build's tests under Wine (scripts/test-windows.sh);
#   - the packages made (dpkg-buildpackage with the tests, lintian --pedantic), the .deb
#     installed, tried and removed, autopkgtest against it with the null runner
#     (scripts/test-package.sh), then the MSI installed, upgraded and uninstalled under
#     Wine (scripts/test-windows-packages.sh);
#   - every package built again elsewhere and compared byte for byte (scripts/check-reproducible.sh).
# Compiler warnings are errors in every build here (SCALEPOLL_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export SCALEPOLL_WERROR=ON

jobs=$(nproc 2>/dev/null || echo 2)
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DSCALEPOLL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The end-to-end tests mostly wait on the line's own timing, so more of them
  # run at once than there are processors.
  ctest --test-dir "$dir" -j $((jobs * 2)) --output-on-failure
}

run_build build
run_build build-asan -DSCALEPOLL_SANITIZE=ON
scripts/fuzz.sh 20
scripts/test-windows.sh
scripts/test-package.sh
scripts/check-reproducible.sh
