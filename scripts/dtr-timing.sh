#!/usr/bin/env bash
# Measures, with strace, how long after each frame's write DTR goes back up,
# against the frame's line time.
#
#   scripts/dtr-timing.sh PORT SPEED STATION COMMAND...
#
# runs COMMAND PORT SPEED 8 None 1 STATION (scalepoll, or wine with
# scalepoll.exe) under strace. The port's descriptor is the one whose modem
# lines are set (ioctl TIOCM...); a frame is what is written to it before the
# next modem line call, the one that raises DTR. For each frame it prints the
# time from the write to that call and the frame's line time at SPEED (10
# bits a byte), and it fails when DTR went up sooner than the line time or
# no frame was seen. Linux's scalepoll raises DTR with TIOCMBIS; Wine reads
# the lines first (TIOCMGET) and then sets them, and on a pseudo-terminal,
# which refuses the read, only the read shows. The port must be one that
# takes the calls, such as a pseudo-terminal; the caller points the
# command's ports there.
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: $0 PORT SPEED STATION COMMAND..." >&2; exit 2; }
port=$1 speed=$2 station=$3
shift 3
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
strace -f -qq -tt -s 0 -e trace=write,ioctl -e signal=none -o "$trace" \
  "$@" "$port" "$speed" 8 None 1 "$station" >/dev/null

# strace's lines: [PID] HH:MM:SS.UUUUUU call(descriptor, ...; a call another
# thread interrupted continues on a later line, but this one carries its start.
awk -v speed="$speed" '
  function seconds(clock,   part) { split(clock, part, ":"); return part[1] * 3600 + part[2] * 60 + part[3] }
  {
    for (i = 1; i <= NF && $i !~ /^[0-9]+:[0-9]+:[0-9.]+$/; i++) {}
    if (i > NF) next
    at = seconds($i)
    call = $(i + 1)
    if (call !~ /^(write|ioctl)\(/) next
    fd = call; sub(/^[a-z]+\(/, "", fd); sub(/,.*/, "", fd)
    rest = $0; sub(/^[^(]*\(/, "", rest)
    if (call ~ /^ioctl/ && rest ~ /^[0-9]+, TIOCM/) {
      modem[fd] = 1
      if (bytes[fd] > 0) {
        after = (at - written[fd]) * 1000
        line = bytes[fd] * 10 * 1000 / speed
        printf "%6d baud, %2d bytes: DTR up %7.1f ms after the write, line time %6.1f ms (%+.1f ms)\n",
               speed, bytes[fd], after, line, after - line
        frames++
        if (after < line) early++
        bytes[fd] = 0
      }
      next
    }
    if (call ~ /^write/ && modem[fd]) {
      if (bytes[fd] == 0) written[fd] = at
      n = rest; sub(/.*\.\.\., /, "", n); sub(/[^0-9].*/, "", n)
      bytes[fd] += n
    }
  }
  END {
    if (frames == 0) { print "no frame followed by a modem line call in the trace"; exit 1 }
    if (early > 0) { printf "%d of %d frames with DTR up before their line time\n", early, frames; exit 1 }
  }
' "$trace"
