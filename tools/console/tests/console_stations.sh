#!/usr/bin/env bash
# scalepoll-console's station tools end to end, in an 80 x 24 tmux pane on
# COM1 = a pseudo-terminal where scalepoll-sim plays station 3 (1250) and
# station 5 (every reply with a wrong checksum): a trigger, then station 3
# asked and taken, station 5 asked and not taken for its checksum, and a
# line check over both, repeated, stopped with Esc after its second cycle.
#
# Usage: console_stations.sh CONSOLE_BINARY SIM_BINARY
set -euo pipefail
console=$1
sim=$2

source "$(dirname "$0")/tmux_fixture.sh" stations
keys() { tmux -L "$socket" send-keys -t console "$@"; }
# Up to a minute: a check's cycle takes 20 s with a station that is never taken.
slowly() { within 600 "$@"; }
row_shows() { screen | grep -qE -- "$1"; }

"$sim" --station 3:weight=1250 --station 5:bad-checksum --record record.txt >sim.out 2>sim.err &
sim_pid=$!
eventually "the simulator prints its pseudo-terminal" test -s sim.out
pty=$(head -n 1 sim.out)

tmux -L "$socket" -f /dev/null new-session -d -s console -x 80 -y 24 \
  "SCALEPOLL_COM1='$pty' SCALEPOLL_COM2='$work/none2' SCALEPOLL_COM3='$work/none3' SCALEPOLL_COM4='$work/none4' \
   '$console' COM1 9600 8 None 1 2>console.err"
eventually "the console starts on COM1" on_screen "in use: COM1 (open)"

# From the port choice on to Trigger.
for _ in $(seq 11); do keys Tab; done
keys Enter
eventually "Trigger sends sequence 02" on_screen "last trigger: sequence 02"

# Back to the station field: station 3, then station 5.
keys BTab BTab BSpace 3 Enter
eventually "station 3 is taken with its weight" on_screen "station 3  sequence 02 = trigger  taken: 3,0,1250"
on_screen "readings  1250 V div 2 | 1250 V div 2 | 1250 V div 2" || fail "station 3's readings"
keys BSpace 5 Enter
eventually "station 5 is not taken for its checksum" on_screen "station 5  sequence 02 = trigger  not taken: checksum"

# The line check over stations 3 and 5, repeated, stopped in its third cycle.
keys F2 Right Right Space Right Right Space Tab Space Tab Enter
eventually "the check starts" on_screen "checking: cycle 1, until stopped"
slowly "the check's third cycle" on_screen "checking: cycle 3"
keys Escape
eventually "Esc stops the check" on_screen "check done: 2 cycles"
row_shows '^ +3 +2 +0 +0 +0 +0 +0 +[0-9]+ +[0-9]+ +1250 *$' || fail "station 3 answered both first tries"
row_shows '^ +5 +0 +0 +2 +6 +0 +0 +- +- +- *$' || fail "station 5 was silent twice, six frames not taken"
[ "$(screen | grep -c '^  result 0;3,0,1250;5,1,0 *$')" = 2 ] || fail "each cycle's result line"

keys F10
eventually "F10 quits" bash -c "! tmux -L '$socket' has-session -t console 2>/dev/null"
echo "console stations end to end: passed"
