#!/usr/bin/env bash
# scalepoll-console end to end: the console runs in a tmux pane of its own
# tmux server, on COM1 = a pseudo-terminal served by scalepoll-sim, with
# COM2..COM4 pointing at paths that do not exist. Keys go in with send-keys,
# the screen comes back with capture-pane, and the simulator's record shows
# what reached the line. Everything happens in a temporary directory.
# Run as root (as in CI), the console itself runs as nobody: a normal user
# is what meets a port left shut by an earlier open, which the superuser
# passes.
#
# Usage: console_end_to_end.sh CONSOLE_BINARY SIM_BINARY
set -euo pipefail
console=$1
sim=$2

source "$(dirname "$0")/tmux_fixture.sh" test
keys() { tmux -L "$socket" send-keys -t console "$@"; }
not_on_screen() { ! on_screen "$1"; }
file_is() { cmp -s SARJA1.INI <(printf '%b' "$1"); }
# Every byte the simulator read from the line, in hexadecimal, one string.
line_received() { awk '$2 == "rx" { for (k = 3; k <= NF; k++) printf " %s", $k }' record.txt | grep -qF -- "$1"; }

"$sim" --station 1:weight=1250 --record record.txt >sim.out 2>sim.err &
sim_pid=$!
eventually "the simulator prints its pseudo-terminal" test -s sim.out
pty=$(head -n 1 sim.out)
as_user=
if [ "$(id -u)" = 0 ]; then
  as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
  chmod 666 "$pty"
  chmod 777 "$work"
fi

tmux -L "$socket" -f /dev/null new-session -d -s console -x 100 -y 30 \
  "SCALEPOLL_COM1='$pty' SCALEPOLL_COM2='$work/none2' SCALEPOLL_COM3='$work/none3' SCALEPOLL_COM4='$work/none4' \
   $as_user '$console' COM1 9600 8 None 1 2>console.err; echo \$? >console.status"
eventually "the console starts on COM1" on_screen "in use: COM1 (open)"
on_screen "[COM3      ]" || fail "the port choice starts at COM3"

# Settings from the pick lists: speed 19200, 7 data bits, even parity, 2 stop bits.
keys Down Enter
eventually "the speed list opens" on_screen "Enter: pick"
keys Down Enter Down Enter Up Enter Down Enter Down Enter Down Enter Down Enter
eventually "the picked settings show" on_screen "[2         ]"
for shown in "[19200     ]" "[7         ]" "[Even      ]"; do on_screen "$shown" || fail "picked $shown"; done
[ ! -e SARJA1.INI ] || fail "picking saved the settings"

# OK with the port choice untouched: COM3, which does not exist.
keys Down Enter
eventually "OK reports the missing port" on_screen " Port is not available !"
file_is 'COM3\r\n19200\r\n7\r\n1\r\n2\r\nTesti\r\n' || fail "SARJA1.INI after the first save"
on_screen "in use: COM3 (not open)" || fail "the first save applies COM3"
on_screen "(closed)" || fail "the dialog closes after OK"

# The message goes, the dialog opens again; COM1 from the port list, then OK.
keys Escape Enter BTab BTab BTab BTab BTab Enter Up Up Enter
eventually "COM1 is picked" on_screen "[COM1      ]"
keys Tab Tab Tab Tab Tab Enter
eventually "OK opens COM1 again" on_screen "in use: COM1 (open)"
file_is 'COM1\r\n19200\r\n7\r\n1\r\n2\r\nTesti\r\n' || fail "SARJA1.INI after the second save"

# A read request for station 1 typed as the test text and sent.
keys Enter Tab Tab End
for _ in $(seq 9); do keys BSpace; done
keys -l '#2&10?M#13#4'
keys Enter
eventually "Lahto shows the test send" on_screen "Lahto: <2>10?M<13><4>"
eventually "the simulator reads the request" line_received " 02 31 30 3F 4D 0D 04"
eventually "the station's reply shows as it arrives" on_screen "!0001250<13>"

# Nollaa clears the received bytes; F10 quits.
keys Tab Tab Tab Tab Tab Enter
eventually "Nollaa clears the received bytes" not_on_screen "!0001250"
keys F10
eventually "F10 quits" bash -c "! tmux -L '$socket' has-session -t console 2>/dev/null"
[ "$(cat console.status)" = 0 ] || fail "the console ends with status $(cat console.status): $(cat console.err)"
echo "console end to end: passed"
