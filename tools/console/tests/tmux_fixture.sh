# What the console's tmux tests and scripts/console-screen.sh share, sourced
# by each: a temporary working directory, a tmux server of its own, the
# simulator's pid, cleanup on exit, and the helpers that read the console's
# screen and wait for it.
#
# Usage: source tmux_fixture.sh NAME   (NAME tells the test's tmux server apart)
work=$(mktemp -d)
socket="scalepoll-console-$1-$$"
sim_pid=
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

screen() { tmux -L "$socket" capture-pane -p -t console; }
fail() {
  echo "FAILED: $*" >&2
  echo "--- screen:" >&2
  screen >&2 || true
  echo "--- simulator record:" >&2
  cat record.txt >&2 || true
  exit 1
}
# within TENTHS WHAT CHECK...: waits up to TENTHS tenths of a second until
# CHECK succeeds, and fails with WHAT otherwise.
within() {
  local tenths=$1 what=$2; shift 2
  for _ in $(seq "$tenths"); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "$what"
}
# Up to 10 s, enough for anything on the screen.
eventually() { within 100 "$@"; }
on_screen() { screen | grep -qF -- "$1"; }
