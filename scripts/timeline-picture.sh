#!/usr/bin/env bash
# The picture of one real run for the README, as headless Chromium draws
# scalepoll-report's SVG: a traced run against scalepoll-sim with faulty
# stations, the README's example. Station 3 answers 1250; station 5 answers
# 800 with a wrong checksum every time, so each of its replies is not taken
# and each try times out; station 7's readings disagree, and its first reply
# is dropped with station 5's broken frames (past 112 bytes), its second
# raises the modem error. COM1 is the simulator's pseudo-terminal, COM2 to
# COM4 paths that do not exist (as scalepoll-sim sets them).
#
#   scripts/timeline-picture.sh          writes docs/timeline.png (about 30 s)
#
# Builds scalepoll, scalepoll-sim and scalepoll-report in build/ when needed;
# prints the run's result line, its trace and the report over it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh docs
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll scalepoll-sim scalepoll-report >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
SCALEPOLL_TRACE=$work/trace.txt build/tools/sim/scalepoll-sim \
  --station 3:weight=1250 --station 5:weight=800,bad-checksum --station 7:weight=500,disagree \
  -- build/scalepoll COM1 9600 8 None 1 3 5 7
echo
cat "$work/trace.txt"
echo
build/tools/report/scalepoll-report "$work/trace.txt"
build/tools/report/scalepoll-report --timeline 1 "$work/trace.txt" >"$work/run.svg"

# The window as large as the picture, so the screenshot holds all of it.
size=$(sed -n 's/^<svg [^>]* width="\([0-9]*\)[.0-9]*" height="\([0-9]*\)[.0-9]*".*/\1,\2/p' "$work/run.svg")
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(--no-sandbox)  # Chromium's sandbox refuses to run as root
chromium --headless=new "${sandbox[@]}" --disable-gpu --hide-scrollbars --force-device-scale-factor=1 \
  --user-data-dir="$work/profile" --window-size="$size" --screenshot="$work/run.png" "file://$work/run.svg" \
  >/dev/null 2>"$work/chromium.log" || { cat "$work/chromium.log" >&2; exit 1; }
cp "$work/run.png" docs/timeline.png
echo "timeline-picture: docs/timeline.png ($size)"
