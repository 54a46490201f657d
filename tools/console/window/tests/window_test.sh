#!/usr/bin/env bash
# scalepoll-console.exe under Wine, on a virtual X display of its own (Xvfb):
# the test driver (window_driver.cpp) finds the window by its caption and
# works it with messages, xdotool sends real mouse clicks and keys through
# the X server, and the checks look at the window, at SARJA1.INI and at the
# line. Wine's COM1 is a pseudo-terminal served by scalepoll-sim (station 1
# answers at once, station 2 after 2.5 s, station 3 at once, station 5 with
# a wrong checksum in every reply); COM3 is a folder, which Wine
# refuses to open as a port; every other COM port of the window's list is a
# path that does not exist. Leaves a picture of the window in PICTURE.
#
# First the loop timer's own tests (loop_timer_test.cpp) in the same Wine.
#
# Usage: window_test.sh WINDOWS_BUILD_DIR SIM_BINARY PICTURE
# With WINEPREFIX set, that prefix is used (its ports are set here);
# otherwise a fresh one in the temporary folder.
set -euo pipefail
programs=$(realpath "$1")/tools/console/window
console=$programs/scalepoll-console.exe
driver=$programs/scalepoll_window_driver.exe
sim=$(realpath "$2")
picture=$(realpath -m "$3")
cd "$(dirname "$0")"
# shellcheck source=scripts/checks.sh
. ../../../../scripts/checks.sh

work=$(mktemp -d)
pids=()
driver_pid=
finish() {
  [ -z "$driver_pid" ] || kill "$driver_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "${own_prefix:-}" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT
started=$(date +%s%N)
elapsed() { echo "$(( ($(date +%s%N) - started) / 1000000 )) ms"; }

# The display, numbered by Xvfb itself so that it takes a free one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
display=$(cat "$work/display")
export DISPLAY=":$display"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/wine
  own_prefix=1
fi

"$sim" --station 1:weight=1250 --station 2:weight=2500,delay=2500 --station 3:weight=3125 --station 5:bad-checksum \
  --record "$work/line.rec" >"$work/sim.pty" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.pty" ] && break; sleep 0.05; done
pty=$(head -n 1 "$work/sim.pty")

# Wine's ports, read from the registry when its server starts again. Without
# a window manager Wine draws the window's caption itself.
mkdir "$work/held-port"
declare -A port
for n in $(seq 10); do port[$n]=$work/no-port-$n; done
port[1]=$pty
port[3]=$work/held-port
for n in $(seq 10); do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "${port[$n]}" /f >>"$work/wine.log" 2>&1
done
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >>"$work/wine.log" 2>&1
wineserver -k 2>/dev/null || true
wineserver -w
wine reg query 'HKLM\Software\Wine\Ports' >>"$work/wine.log" 2>&1
for n in $(seq 10); do
  if [ "$(readlink "$WINEPREFIX/dosdevices/com$n")" != "${port[$n]}" ]; then
    echo "Wine's COM$n is not ${port[$n]}: stopping before anything opens it" >&2
    exit 1
  fi
done
echo "window: Wine ready after $(elapsed)"

timeout 120 wine "$programs/scalepoll_window_tests.exe" 2>&1 | tr -d '\r' >"$work/unit.txt" || true
grep -E '^(read ticks|reply read)' "$work/unit.txt" | sed 's/^/window: /' || true
check "the loop timer's tests" "[  PASSED  ] 2 tests." "$(grep -E '^\[  (PASSED|FAILED)  \]' "$work/unit.txt" | head -n 1)"

# The command line as on Linux: --version, and some settings but not all five.
check "--version" "scalepoll-console $(cat "$programs/../../../version.txt")" \
  "$(wine "$console" --version 2>/dev/null | tr -d '\r')"
status=0
wine "$console" COM1 9600 >/dev/null 2>"$work/usage.err" || status=$?
check "two settings of five: status 2 and why" "2 scalepoll-console: give all five settings or none" \
  "$status $(cut -d '(' -f 1 "$work/usage.err" | sed 's/ *$//')"

mkdir "$work/site"
(cd "$work/site" && exec env WINEDEBUG=-all,trace+file wine "$console" COM1 9600 8 None 1 >"$work/console.out" 2>"$work/console.trace") &
pids+=($!)
coproc DRIVER { exec wine "$driver" 2>>"$work/driver.err"; }
# shellcheck disable=SC2153  # set by coproc
driver_pid=$DRIVER_PID

# The controls by number (ControlIds.h).
ports=101 nopeus=102 data=103 pariteetti=104 stopbitti=105
listanop=112 listdata=113 listparity=114 liststop=115
ok=1 lahdata=120 laheta=121 lahto=122 tulo=123 nollaa=124 legend=130 port_state=131 open_again=132
station=140 ask_button=141 trigger=142 last_trigger=143 replies=144 tick1=150 repeat=170 poll=171 stop=172
check_state=173 check_table=174

ask() {
  echo "$*" >&"${DRIVER[1]}"
  local answer
  IFS= read -r answer <&"${DRIVER[0]}"
  echo "${answer%$'\r'}"  # a Windows program's line end
}
# shellcheck disable=SC2053  # PATTERN is a shell pattern
matches() { [[ $2 == $1 ]]; }  # PATTERN TEXT
# Asks until the answer matches PATTERN, 10 s at most, and checks it.
eventually() {  # NAME PATTERN COMMAND...
  local name=$1 pattern=$2 answer
  shift 2
  for _ in $(seq 200); do
    answer=$(ask "$@")
    matches "$pattern" "$answer" && break
    sleep 0.05
  done
  if matches "$pattern" "$answer"; then check "$name" "$answer" "$answer"; else check "$name" "$pattern" "$answer"; fi
}
# Every byte the simulator read from the line, in hexadecimal.
line_received() { awk '$2 == "rx" { for (k = 3; k <= NF; k++) printf " %s", $k }' "$work/line.rec"; }
# The line settings as far as a pseudo-terminal keeps them: the speed and
# the stop bits (Linux holds every pty at 8 data bits without parity).
line_settings() {
  local all
  all=$(stty -F "$pty" -a)
  echo "$(sed -n 's/^speed \([0-9]*\) baud.*/\1/p' <<<"$all")" "$(tr -s ' ;' '\n' <<<"$all" | grep -x -- '-\{0,1\}cstopb')"
}
# The whole setting the console last gave SetCommState, from Wine's trace:
# data bits, speed, parity (0 none, 1 odd, 2 even) and stop bits (1 or 2).
# GetCommState dumps a DCB too (the driver reads the setting back): the one
# SetCommState dumps is followed by its first call, setting the speed
# (IOCTL_SERIAL_SET_BAUD_RATE, 1b0004).
comm_state() {
  grep -A1 dump_dcb "$work/console.trace" | grep -B1 'DeviceIoControl ([0-9A-Fa-f]*,1b0004,' | grep dump_dcb |
    tail -n 1 | grep -oE ' (size|rate|Parity|stopbits)=[0-9]+' | tr -d '\n'
}
# The middle of a place on the screen, LEFT TOP RIGHT BOTTOM.
middle() { read -r left top right bottom <<<"$1"; echo "$(( (left + right) / 2 )) $(( (top + bottom) / 2 ))"; }
window_width() { xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p'; }
mouse_click() {  # LEFT TOP RIGHT BOTTOM: a real click through the X server
  # shellcheck disable=SC2046  # x and y
  xdotool mousemove --sync $(middle "$1") click 1
}

check "the driver finds the window by its caption" ok "$(ask find)"
echo "window: up after $(elapsed)"
check "caption" "Serial settings" "$(ask caption)"
check "the port list starts at COM3" COM3 "$(ask text $ports)"
check "the fields hold the command line's settings" "9600 8 None 1" \
  "$(ask text $nopeus) $(ask text $data) $(ask text $pariteetti) $(ask text $stopbitti)"
check "the port is open" "in use: COM1 (open)" "$(ask text $port_state)"
check "the port is set from the command line" " size=8 rate=9600 Parity=0 stopbits=1" "$(comm_state)"
check "the line is set from the command line" "9600 -cstopb" "$(line_settings)"
check "the test text and its legend" "&at#10#13|#=Desim.  &=Ascii" "$(ask text $lahdata)|$(ask text $legend)"
check "Lahto and Tulo start with their names" "Lahto|Tulo" "$(ask text $lahto)|$(ask text $tulo)"

# Test sends, and a station's reply in Tulo.
ask click $laheta >/dev/null
eventually "Lahto echoes the starting test text" "at<10><13>" text $lahto
ask set $lahdata '#2&10?M#13#4' >/dev/null
ask click $laheta >/dev/null
eventually "Lahto echoes a read request" "<2>10?M<13><4>" text $lahto
eventually "the reply of station 1 appears in Tulo" "Tulo*!0001250<13>*" text $tulo
check "the bytes on the line" " 61 74 0A 0D 02 31 30 3F 4D 0D 04" "$(line_received)"
ask click $nollaa >/dev/null
eventually "Nollaa empties Tulo" "" text $tulo

# A real mouse: a click on the speed field opens its list, a click on
# 19200 picks it.
mouse_click "$(ask rect $nopeus)"
eventually "a mouse click on the speed field opens its list" yes shown $listanop
mouse_click "$(ask item-rect $listanop 5)"
eventually "a mouse click on 19200 picks it" "19200" text $nopeus
check "and hides the list" no "$(ask shown $listanop)"

# The other lists by messages; 8 data bits put the parity back to None.
pick() {  # FIELD LIST ITEM
  ask press "$1" >/dev/null
  eventually "the list of field $1 opens" yes shown "$2"
  ask select "$2" "$3" >/dev/null
}
pick $data $listdata 7
pick $pariteetti $listparity Even
pick $stopbitti $liststop 2
pick $data $listdata 8
check "8 data bits reset the parity" "8 None" "$(ask text $data) $(ask text $pariteetti)"
pick $data $listdata 7
pick $pariteetti $listparity Even
check "the picks" "19200 7 Even 2" "$(ask text $nopeus) $(ask text $data) $(ask text $pariteetti) $(ask text $stopbitti)"
check "picking saves nothing" no "$([ -e "$work/site/SARJA1.INI" ] && echo yes || echo no)"
check "picking leaves the port alone" " size=8 rate=9600 Parity=0 stopbits=1" "$(comm_state)"
check "COM1 picked in the port list" ok "$(ask select $ports COM1)"

# OK saves and applies, and closes the dialog.
ask click $ok >/dev/null
eventually "OK closes the dialog" "Serial settings  (closed)" caption
check "SARJA1.INI, byte for byte" "$(printf 'COM1\r\n19200\r\n7\r\n1\r\n2\r\nTesti\r\n' | od -An -tx1)" \
  "$(od -An -tx1 "$work/site/SARJA1.INI")"
check "OK sets the port" " size=7 rate=19200 Parity=2 stopbits=2" "$(comm_state)"
check "the line takes the settings" "19200 cstopb" "$(line_settings)"
check "the port is open again" "in use: COM1 (open)" "$(ask text $port_state)"
check "the closed dialog: settings greyed, Open again shown" "no no yes" \
  "$(ask enabled $ports) $(ask enabled $lahdata) $(ask shown $open_again)"

# The keyboard, through the X server: Enter presses Open again; Tab goes to
# the speed field, Enter opens its list, Up and Enter pick; Alt+R goes to
# the parity, whose list Esc closes; typed test text goes out with Enter;
# Esc is Cancel.
xdotool search --name "Serial settings" windowfocus --sync >/dev/null 2>&1 || true
xdotool key Return
eventually "Enter opens the dialog again" "Serial settings" caption
check "the focus starts at the port list" $ports "$(ask focus)"
xdotool key Tab
eventually "Tab goes to the speed field" $nopeus focus
xdotool key Return
eventually "Enter opens the speed list" yes shown $listanop
xdotool key Up Return
eventually "Up and Enter pick the speed before" 9600 text $nopeus
xdotool key alt+r
eventually "Alt+R goes to the parity" $pariteetti focus
xdotool key Return
eventually "Enter opens the parity list" yes shown $listparity
xdotool key Escape
eventually "Esc closes the list" no shown $listparity
check "and leaves the dialog open" "Serial settings" "$(ask caption)"
xdotool key alt+e End shift+Home
xdotool type '&ok'
xdotool key Return
eventually "typed test text goes out with Enter" ok text $lahto
check "the typed text on the line" "6F 6B" "$(line_received | tail -c 5)"
xdotool key Escape
eventually "Esc closes the dialog" "Serial settings  (closed)" caption
check "Cancel saves nothing" "$(printf 'COM1\r\n19200\r\n7\r\n1\r\n2\r\nTesti\r\n' | od -An -tx1)" \
  "$(od -An -tx1 "$work/site/SARJA1.INI")"
ask click $open_again >/dev/null
eventually "Open again opens the dialog" "Serial settings" caption

# The station tools: a line check over stations 1 and 3, repeated, stopped
# in its third cycle; then a trigger (the check's runs sent 02), station 3
# asked and taken with its weight, station 5 asked and not taken for its
# checksum.
ask click $nollaa >/dev/null
ask click $tick1 >/dev/null
ask click $((tick1 + 2)) >/dev/null
ask click $repeat >/dev/null
ask click $poll >/dev/null
eventually "the check starts" "checking: cycle 1, until stopped" text $check_state
for _ in $(seq 300); do matches "checking: cycle 3*" "$(ask text $check_state)" && break; sleep 0.1; done
check "the check comes to its third cycle" "checking: cycle 3, until stopped" "$(ask text $check_state)"
ask click $stop >/dev/null
eventually "Stop ends the check" "check done: 2 cycles" text $check_state
table=$(ask text $check_table)
row1="      1     2     0      0        0        0     0 *1250"
row3="      3     2     0      0        0        0     0 *3125"
check "stations 1 and 3 answered both first tries" yes "$(matches "*$row1*$row3*" "$table" && echo yes || echo "$table")"
ask click $trigger >/dev/null
eventually "Trigger sends the next sequence number" "last trigger: sequence 03" text $last_trigger
ask set $station 3 >/dev/null
ask click $ask_button >/dev/null
eventually "station 3 is taken with its weight" "*station 3  sequence 03 = trigger  taken: 3,0,3125*" text $replies
ask set $station 5 >/dev/null
ask click $ask_button >/dev/null
eventually "station 5 is not taken for its checksum" "*station 5  sequence 03 = trigger  not taken: checksum*" \
  text $replies

# The picture: the replies read and the check's counts, the dialog open; the
# replies as the picture shows them, read back from it.
window_id=$(xdotool search --name "^Serial settings$" | head -n 1)
width_at_96_dpi=$(window_width "$window_id")
import -window "$window_id" "$work/window.png"
colours=$(identify -format '%k' "$work/window.png")
check "the picture of the window is not blank" yes "$([ "$colours" -gt 16 ] && echo yes || echo no)"
cp "$work/window.png" "$picture"
read -r left top right bottom <<<"$(ask rect $replies)"
import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" -resize 300% "$work/replies.png"
shown=$(tesseract "$work/replies.png" - 2>/dev/null | tr -s ' ')
check "the picture shows station 3 taken" yes "$(grep -q 'station 3 .*taken: 3,0,3125' <<<"$shown" && echo yes || echo "$shown")"
check "the picture shows station 5 not taken" yes "$(grep -q 'station 5 .*not taken: checksum' <<<"$shown" && echo yes || echo "$shown")"

# A modal message keeps the line going: the request to station 2 goes out,
# OK cannot write SARJA1.INI (a folder stands in its place) and says so,
# and the reply that comes 2.5 s later appears in Tulo under the message.
ask click $nollaa >/dev/null
rm "$work/site/SARJA1.INI"
mkdir "$work/site/SARJA1.INI"
ask set $lahdata '#2&20?M#13#3' >/dev/null
ask click $laheta >/dev/null
ask click $ok >/dev/null
eventually "the save that fails says so" "Cannot write SARJA1.INI*" message
check "the message is modal" no "$(ask enabled 0)"
check "the reply has not come yet" "" "$(ask text $tulo)"
eventually "the reply arrives under the message" "*!0002500<13>*" text $tulo
message=$(ask message)
check "the message is still up" yes "$(matches "Cannot write SARJA1.INI*" "$message" && echo yes || echo "$message")"
ask dismiss >/dev/null
eventually "the message goes" none message
check "the dialog stays open after a failed save" "Serial settings" "$(ask caption)"
rmdir "$work/site/SARJA1.INI"

# A port that cannot be opened: the modal message, its exact text, and the
# dialog closed after it.
check "COM3 picked in the port list" ok "$(ask select $ports COM3)"
ask click $ok >/dev/null
eventually "OK with a port that cannot be opened" " Port is not available !  " message
check "the message is modal" no "$(ask enabled 0)"
ask dismiss >/dev/null
eventually "the dialog closes after the message" "Serial settings  (closed)" caption
check "the port is closed" "in use: COM3 (not open)" "$(ask text $port_state)"
check "SARJA1.INI names COM3" "COM3" "$(head -n 1 "$work/site/SARJA1.INI" | tr -d '\r')"

# Closing the window ends the program.
ask close >/dev/null
console_ended=no
for _ in $(seq 100); do
  if ! kill -0 "${pids[-1]}" 2>/dev/null; then console_ended=yes; break; fi
  sleep 0.1
done
check "closing the window ends the program" yes "$console_ended"

# On a high-DPI screen (192 dots per inch, Windows' 200 %) the dialog is laid
# out at that resolution: its fonts and controls about twice as large, not a
# small window of blurred pixels. Back to 96 afterwards, for the prefix's
# next user.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f >>"$work/wine.log" 2>&1
wineserver -k 2>/dev/null || true
wineserver -w
(cd "$work/site" && exec wine "$console" >/dev/null 2>&1) &
pids+=($!)
large_window=
for _ in $(seq 100); do
  large_window=$(xdotool search --name "^Serial settings$" 2>/dev/null | head -n 1) || true
  [ -n "$large_window" ] && break
  sleep 0.1
done
width_at_192_dpi=$( [ -n "$large_window" ] && window_width "$large_window" || echo 0)
echo "window: $width_at_96_dpi pixels wide at 96 dpi, $width_at_192_dpi at 192 dpi"
check "at 192 dpi the window is laid out 1.7 to 2.3 times as wide" yes \
  "$( (( width_at_192_dpi * 10 >= width_at_96_dpi * 17 && width_at_192_dpi * 10 <= width_at_96_dpi * 23 )) && echo yes || echo no)"
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >>"$work/wine.log" 2>&1
wineserver -k 2>/dev/null || true

echo "window: $passed passed, $failed failed, in $(elapsed)"
[ "$failed" -eq 0 ]
