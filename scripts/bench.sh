#!/usr/bin/env bash
# Measures what scalepoll costs and prints the figures as markdown tables for
# the README: whole runs under scalepoll-sim (the simulator paces its replies
# at the baud rate) against the protocol's own timing, the latency the tool
# adds per answering station, CPU time and peak memory of a run, the time
# from process start to the trigger frame's first byte, and a Google
# Benchmark of the frame search and reply decoding. Nothing is asserted.
#
# Builds build-bench/ (the default build, plus bench/) and build-static/ (the
# static-release preset). Takes about six minutes, most of it silent
# stations waiting out the protocol (14 of them: 215 s).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -DSCALEPOLL_BENCH=ON -DSCALEPOLL_TESTS=OFF >/dev/null
cmake --build build-bench -j "$jobs" --target scalepoll scalepoll-sim scalepoll_bench run_stats first_byte >/dev/null
cmake --preset static-release >/dev/null
cmake --build --preset static-release -j "$jobs" >/dev/null

sim=build-bench/tools/sim/scalepoll-sim
dynamic=build-bench/scalepoll
static=build-static/scalepoll
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The record's latencies: from the last reply byte the simulator wrote to its
# reading the next read request. Prints "MEAN MAX" in ms, or "- -".
latencies() {
  awk '$2 == "tx" { last = $1 }
       $2 == "rx" && last != "" && / 30 3F 4D 0D / { d = $1 - last; sum += d; n++; if (d > max) max = d; last = "" }
       END { if (n) printf "%.1f %d\n", sum / n, max; else print "- -" }' "$1"
}

# run LABEL BINARY BAUD ANSWERING SILENT [SIM OPTION...]: one run, stations
# 1..ANSWERING answering at once, the next SILENT stations silent; prints a
# table row.
run() {
  local label=$1 binary=$2 baud=$3 answering=$4 silent=$5
  shift 5
  local options=(--baud "$baud" --record "$work/record") stations=()
  for ((n = 1; n <= answering + silent; n++)); do
    stations+=("$n")
    ((n <= answering)) && options+=(--station "$n:weight=$((1000 + n)),delay=0")
  done
  "$sim" "${options[@]}" "$@" -- build-bench/bench/run_stats "$work/stats" "$binary" COM1 "$baud" 8 None 1 \
    "${stations[@]}" >/dev/null
  local wall user system peak mean max protocol
  read -r wall user system peak <"$work/stats"
  read -r mean max < <(latencies "$work/record")
  # 36 reply bytes of ten bits each per answering station; requests take no
  # line time on a pseudo-terminal.
  protocol=$(awk -v a="$answering" -v s="$silent" -v b="$baud" 'BEGIN { printf "%.1f", 5000 + a * 360000 / b + s * 15000 }')
  awk -v l="$label" -v b="$baud" -v p="$protocol" -v w="$wall" -v mean="$mean" -v max="$max" -v u="$user" \
      -v s="$system" -v k="$peak" \
      'BEGIN { printf "| %s | %s | %.1f | %.1f | %+.1f | %s / %s | %.1f | %.2f |\n", l, b, p, w, w - p, mean, max, u + s, k / 1024 }'
}

echo "### Whole runs under scalepoll-sim"
echo
echo "| run | baud | protocol ms | measured ms | difference ms | added latency per answering station, mean / max ms | CPU ms | peak MiB |"
echo "|---|---|---|---|---|---|---|---|"
for baud in 9600 19200; do
  run "1 silent station" "$dynamic" "$baud" 0 1
  run "1 answering station" "$dynamic" "$baud" 1 0
  run "14 answering stations" "$dynamic" "$baud" 14 0
done
run "1 answering station, static binary" "$static" 9600 1 0
run "14 answering stations, static binary" "$static" 9600 14 0
run "14 silent stations" "$dynamic" 9600 0 14
run "1 silent station, line stalled from 2 s" "$dynamic" 9600 0 1 --stall-at 2000
echo
echo "### Wake-ups of a silent run (1 station, 20 s, under strace)"
echo
# Waits are the event loop's sleeps and polls; reads are those of the port.
"$sim" --station 1:silent -- strace -qq -o "$work/trace" -e trace=openat,read,ppoll,poll,clock_nanosleep \
  "$dynamic" COM1 9600 8 None 1 1 >/dev/null
awk '/^openat\(.*"\/dev\/pts\// { port = $NF }
     /^(ppoll|poll|clock_nanosleep)\(/ { waits++ }
     port != "" && index($0, "read(" port ",") == 1 { reads++ }
     END { printf "| waits | port reads |\n|---|---|\n| %d | %d |\n", waits, reads }' "$work/trace"
echo
echo "### Process start to the trigger frame's first byte (50 runs)"
echo
echo "| binary | min ms | median ms | max ms |"
echo "|---|---|---|---|"
for binary in "$dynamic" "$static"; do
  read -r low median high < <(build-bench/bench/first_byte 50 "$binary")
  awk -v n="$binary" -v a="$low" -v m="$median" -v z="$high" \
      'BEGIN { printf "| %s | %.2f | %.2f | %.2f |\n", n, a / 1000, m / 1000, z / 1000 }'
done
echo
echo "### Frame search and decoding (Google Benchmark, CPU time per call)"
echo
echo "| benchmark | ns |"
echo "|---|---|"
build-bench/bench/scalepoll_bench --benchmark_format=csv 2>/dev/null |
  awk -F, '$1 ~ /^"BM_/ { gsub(/"/, "", $1); printf "| %s | %.0f |\n", $1, $4 }'
