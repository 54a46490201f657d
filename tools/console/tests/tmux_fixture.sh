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
# Waits up to 10 s until `check` succeeds.
eventually() {
  local what=$1; shift
  for _ in $(seq 200); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  fail "$what"
}
on_screen() { screen | grep -qF -- "$1"; }
