#!/usr/bin/env bash
# The terminal console's two pages as text, for the README: scalepoll-console
# in an 80 x 24 tmux pane on COM1, a pseudo-terminal where scalepoll-sim plays
# stations 1 and 2 (COM2..COM4 paths that do not exist). A trigger goes out,
# station 1 is asked and station 2 too, and the test console is captured once
# both replies are read; then one line check over stations 1 to 3, captured
# when it is done.
#
#   scripts/console-screen.sh            prints the screen
#   scripts/console-screen.sh --readme   puts it in README.md, between the
#                                        console-screen markers
#
# Builds scalepoll-console and scalepoll-sim in build/ when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll-console scalepoll-sim >/dev/null

root=$PWD
# shellcheck source=tools/console/tests/tmux_fixture.sh
. tools/console/tests/tmux_fixture.sh screen  # works in a folder of its own
keys() { tmux -L "$socket" send-keys -t console "$@"; }
wait_for() { eventually "\"$1\" on the screen" on_screen "$1"; }

"$root/build/tools/sim/scalepoll-sim" --station 1:weight=1250 --station 2:weight=-805,decimals=1,unstable \
  >sim.out 2>sim.err &
sim_pid=$!
for _ in $(seq 100); do [ -s sim.out ] && break; sleep 0.05; done
pty=$(head -n 1 sim.out)

console=$root/build/tools/console/scalepoll-console
tmux -L "$socket" -f /dev/null new-session -d -s console -x 80 -y 24 \
   "SCALEPOLL_COM1='$pty' SCALEPOLL_COM2='$work/none2' SCALEPOLL_COM3='$work/none3' \
    SCALEPOLL_COM4='$work/none4' '$console' COM1 9600 8 None 1"
wait_for "in use: COM1 (open)"
# From the port choice on to Trigger, then back to the station field.
for _ in $(seq 11); do keys Tab; done
keys Enter
wait_for "last trigger: sequence 02"
keys BTab BTab BSpace 1 Enter
wait_for "taken: 1,0,1250"
keys BSpace 2 Enter
wait_for "modem error: reading 1 unsettled"
dialog=$(screen | sed 's/ *$//')

# The check page: stations 1, 2 and 3 ticked, one cycle.
keys F2 Space Right Space Right Space Tab Tab Enter
for _ in $(seq 300); do on_screen "check done: 1 cycle" && break; sleep 0.1; done
wait_for "check done: 1 cycle"
captured=$(printf '%s\n\n%s' "$dialog" "$(screen | sed 's/ *$//')")

if [ "${1:-}" != --readme ]; then
  printf '%s\n' "$captured"
  exit 0
fi
begin='<!-- console-screen: scripts/console-screen.sh --readme puts the screen below -->'
end='<!-- console-screen end -->'
grep -qxF -- "$begin" "$root/README.md" && grep -qxF -- "$end" "$root/README.md" || {
  echo "console-screen: README.md has no console-screen markers" >&2
  exit 1
}
awk -v begin="$begin" -v end="$end" -v screen="$captured" '
  $0 == begin { print; print ""; n = split(screen, lines, "\n")
                for (i = 1; i <= n; i++) print (lines[i] == "" ? "" : "    " lines[i]); print ""; skip = 1; next }
  $0 == end { skip = 0 }
  !skip' "$root/README.md" >README.md.new
cp README.md.new "$root/README.md"
echo "console-screen: README.md updated"
