#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer (build-fuzz/) and runs each one for a bounded
# time, starting from the seeds in fuzz/corpus/<target>/. Fails on the first
# finding; the input that shows it is left in build-fuzz/findings/ and
# belongs in the normal test suite as a regression test.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

seconds=${1:-20}
build=build-fuzz
targets=(receive_run frame_search whole_number text test_send telnet_decode trace_report)
compiler=$(command -v clang++-14 || command -v clang++)  # taken when build-fuzz/ is first made

CXX="$compiler" cmake -S . -B "$build" -DSCALEPOLL_FUZZ=ON -DSCALEPOLL_TESTS=OFF \
  -DSCALEPOLL_WERROR="${SCALEPOLL_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/%/_fuzz}" >/dev/null
mkdir -p "$build/findings" "$build/logs"

for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  log="$build/logs/$target.log"
  # New inputs go to the first corpus directory, so the seeds stay as they are.
  if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$build/findings/$target-" "$build/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target found a fault; the input is in $build/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target: $runs runs in $seconds s, no finding"
done
