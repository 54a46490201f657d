#!/usr/bin/env bash
# Builds scalepoll and its station simulator and shows one run: station 3
# answers with 1250, station 12 stays silent (asked three times, 5 s apart),
# so after about 20 seconds the result line is 0;3,0,1250;12,1,0.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll scalepoll-sim >/dev/null

command=(build/tools/sim/scalepoll-sim --station 3:weight=1250 --station 12:silent
         -- build/scalepoll COM1 9600 8 None 1 3 12)
echo "\$ ${command[*]}"
"${command[@]}"
echo
