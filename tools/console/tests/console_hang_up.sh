#!/usr/bin/env bash
# scalepoll-console whose terminal goes away while SIGHUP is ignored (nohup,
# some wrappers): it must end by itself and give the serial port back, so a
# later weighing on the same line answers. The console runs in a tmux pane on
# COM1 = a pseudo-terminal served by scalepoll-sim; the tmux server is killed.
#
# Usage: console_hang_up.sh CONSOLE_BINARY SIM_BINARY SCALEPOLL_BINARY
set -euo pipefail
console=$1
sim=$2
scalepoll=$3

source "$(dirname "$0")/tmux_fixture.sh" hangup
gone() { ! kill -0 "$1" 2>/dev/null; }

"$sim" --station 1:weight=1250 --record record.txt >sim.out 2>sim.err &
sim_pid=$!
eventually "the simulator prints its pseudo-terminal" test -s sim.out
pty=$(head -n 1 sim.out)
ports="SCALEPOLL_COM1='$pty' SCALEPOLL_COM2='$work/none2' SCALEPOLL_COM3='$work/none3' SCALEPOLL_COM4='$work/none4'"

tmux -L "$socket" -f /dev/null new-session -d -s console -x 100 -y 30 \
  "trap '' HUP; $ports exec '$console' COM1 9600 8 None 1"
eventually "the console starts on COM1" on_screen "in use: COM1 (open)"
console_pid=$(tmux -L "$socket" list-panes -t console -F '#{pane_pid}')

tmux -L "$socket" kill-server
eventually "the console ends once its terminal has gone" gone "$console_pid"

result=$(eval "$ports '$scalepoll' COM1 9600 8 None 1 1" | tr -d '\r')
[ "$result" = "0;1,0,1250" ] || fail "the port is free again: got '$result'"
echo "console ended with its terminal; the port answers again"
