#!/usr/bin/env bash
# Measures scalepoll-report on large traces and prints a markdown table: wall
# and CPU time and peak memory for the text report, the JSON report and the
# timeline of the last run (which reads the whole trace to reach it).
#
#   scripts/report-bench.sh [LINES...]     (default: 1000000)
#
# Each trace is generated afresh in a temporary folder, in the trace's line
# format: runs a minute apart over three stations on COM1, one answering at
# once, one needing a second try after a reply with a bad checksum every
# fourth run, one silent every fifth run, the port busy every 25th. The text
# report is also measured on the same runs as a site writes them since run
# marks: each line marked with its run, two runs at a time interleaved.
# Builds scalepoll-report in build-report-bench/ (Release).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-report-bench -DCMAKE_BUILD_TYPE=Release -DSCALEPOLL_TESTS=OFF >/dev/null
cmake --build build-report-bench -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll-report >/dev/null
report=build-report-bench/tools/report/scalepoll-report
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# generate LINES FILE: whole runs until at least LINES lines.
generate() {
  awk -v want="$1" '
    function line(ms, kind, body) { printf "%7d %-9s%s\n", ms, kind, body; n++ }
    function stamp(r,   s) { s = 1796104800 + r * 60; return strftime("%Y-%m-%dT%H:%M:%S", s, 1) ".000Z" }
    function ask(st, try, t) { line(t, "request", "station=" st " try=" try)
                               line(t, "sent", "<255><255><255><2>" st "0?M<13><4><255><255><255>") }
    function silent(st,   k) { for (k = 1; k <= 3; k++) { ask(st, k, t); t += 5000; line(t, "timeout", "station=" st " try=" k) } }
    function answer(st, try, after) { ask(st, try, t); t += after
      line(t, "received", "<2>0" st "02<32>!0001250<32><32>!0001250<32><32>!0001250<32><13>!")
      line(t, "reply", "taken station=" st " try=" try " weight=1250 settled=yes") }
    BEGIN {
      for (r = 0; n < want; r++) {
        line(0, "run", stamp(r) " scalepoll 1.1.0 COM1 9600 8 None 1 3 7 9")
        line(0, "port", "COM1 /dev/ttyUSB0"); t = 5000
        if (r % 25 == 24) {
          line(1, "open", "failed busy -- Device or resource busy; held by 4242 (minicom)")
          silent(3); silent(7); silent(9); line(t, "result", "0;3,1,0;7,1,0;9,1,0"); continue
        }
        line(1, "open", "ok"); line(1, "settings", "9600 8 None 1"); line(2, "trigger", "sequence=2")
        line(2, "sent", "<255><255><255><2>*0MW02<13><145><255><255><255>")
        answer(3, 1, 100 + r % 50)
        if (r % 4 == 0) { ask(7, 1, t); line(t + 150, "reply", "not-taken reason=checksum station=7 -- checksum 34, the frame says 33")
                          t += 5000; line(t, "timeout", "station=7 try=1"); answer(7, 2, 120) }
        else answer(7, 1, 130)
        if (r % 5 == 0) silent(9); else answer(9, 1, 200 + r % 7)
        line(t, "result", "0;3,0,1250;7,0,1250;9," (r % 5 == 0 ? "1,0" : "0,1250"))
      }
    }' >"$2"
}

# marked FILE MARKED: FILE's runs with run marks, two at a time interleaved,
# as two runs writing into one trace at once leave it.
marked() {
  awk '
    function flush(   i, m) { m = n[0] > n[1] ? n[0] : n[1]
      for (i = 1; i <= m; i++) { if (i <= n[1]) print line[1, i]; if (i <= n[0]) print line[0, i] }
      n[0] = n[1] = 0 }
    $2 == "run" { if (++r % 2 == 1 && r > 1) flush() }
    { line[r % 2, ++n[r % 2]] = sprintf("r%d-%08x ", 1000 + r, r) $0 }
    END { flush() }' "$1" >"$2"
}

# measure FILE FORM LINES SIZE: one row of the table.
measure() {
  local args=()
  [ "$2" = text ] || [ "$2" = "text, run marks" ] || read -ra args <<<"$2"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$report" "${args[@]}" "$1" >/dev/null
  read -r wall user system kib <"$work/time"
  awk -v l="$3" -v s="$4" -v f="$2" -v w="$wall" -v u="$user" -v y="$system" -v k="$kib" \
    'BEGIN { printf "| %d | %s | %s | %.2f | %.2f | %.1f |\n", l, s, f, w, u + y, k / 1024 }'
}

echo "| trace lines | size MiB | report | wall s | CPU s | peak RSS MiB |"
echo "|---|---|---|---|---|---|"
for lines in "${@:-1000000}"; do
  trace=$work/trace-$lines.txt
  generate "$lines" "$trace"
  actual=$(wc -l <"$trace")
  size=$(awk -v bytes="$(stat -c %s "$trace")" 'BEGIN { printf "%.1f", bytes / 1048576 }')
  runs=$("$report" "$trace" | sed -n 's/^runs: \([0-9]*\).*/\1/p')
  for form in text --json "--timeline $runs"; do measure "$trace" "$form" "$actual" "$size"; done
  marked "$trace" "$trace.marked"
  rm "$trace"
  size=$(awk -v bytes="$(stat -c %s "$trace.marked")" 'BEGIN { printf "%.1f", bytes / 1048576 }')
  measure "$trace.marked" "text, run marks" "$actual" "$size"
  rm "$trace.marked"
done
