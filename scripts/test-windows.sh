#!/usr/bin/env bash
# Tests the Windows build under Wine: the unit tests, then scalepoll.exe end to
# end against scalepoll-sim, beside the Linux build against the same stations,
# on its COM ports and through ser2net over rfc2217://.
#
# Wine runs in a fresh prefix in a temporary folder. Its COM1 and COM2 are
# simulators' pseudo-terminals and its COM3 and COM4 paths that do not exist,
# all set in its registry, so nothing here can reach the machine's own serial
# ports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-windows.sh
# The simulator, and the Linux build to compare with.
cmake -S . -B build-winlinux -DSCALEPOLL_TESTS=OFF -DSCALEPOLL_WERROR="${SCALEPOLL_WERROR:-OFF}" >/dev/null
cmake --build build-winlinux -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll scalepoll-sim

work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim=build-winlinux/tools/sim/scalepoll-sim
sim_pids=()
finish() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# shellcheck source=scripts/checks.sh
. scripts/checks.sh

# The end-to-end runs: the stations a simulator plays, the port the Windows
# build reads them on, the stations it is asked for, and the line it prints.
declare -A sim_options=([answering]="--station 3:weight=1250 --station 12:silent" [unstable]="--station 5:unstable")
declare -A com=([answering]=1 [unstable]=2)
declare -A stations=([answering]="3 12" [unstable]="5")
declare -A expected=([answering]="0;3,0,1250;12,1,0" [unstable]="2;Modem error")
runs=(answering unstable)

declare -A port=([3]=$work/no-port-3 [4]=$work/no-port-4)
for name in "${runs[@]}"; do
  # shellcheck disable=SC2086  # the options are words
  "$sim" ${sim_options[$name]} --record "$work/$name-win.rec" >"$work/$name.pty" &
  sim_pids+=($!)
done
for name in "${runs[@]}"; do
  for _ in $(seq 50); do [ -s "$work/$name.pty" ] && break; sleep 0.1; done
  port[${com[$name]}]=$(head -n 1 "$work/$name.pty")
done

for n in 1 2 3 4; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "${port[$n]}" /f >>"$work/wine.log" 2>&1
done
# Wine maps its ports from the registry when its server starts again.
wineserver -k || true
wineserver -w
wine reg query 'HKLM\Software\Wine\Ports' >>"$work/wine.log" 2>&1
for n in 1 2 3 4; do
  if [ "$(readlink "$WINEPREFIX/dosdevices/com$n")" != "${port[$n]}" ]; then
    echo "Wine's COM$n is not ${port[$n]}: stopping before anything opens it" >&2
    exit 1
  fi
done

echo "Unit tests under Wine:"
timeout 300 wine build-win/tests/scalepoll_tests.exe 2>&1 | tr -d '\r' >"$work/unit.txt" || true
grep -E '^\[  (PASSED|FAILED)  \]' "$work/unit.txt" || tail -n 20 "$work/unit.txt"
unit_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$work/unit.txt")
unit_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:$/\1/p' "$work/unit.txt")
passed=$((passed + ${unit_passed:-0}))
failed=$((failed + ${unit_failed:-0}))
if [ -z "$unit_passed$unit_failed" ]; then
  echo "FAILED the unit tests ended without a summary"
  failed=$((failed + 1))
fi

echo "scalepoll.exe under Wine, against scalepoll-sim:"
timeout 60 wine build-win/scalepoll.exe >"$work/none.out" 2>/dev/null || true
check "too few parameters: the line ends in exactly CR LF" \
  "$(printf '1;Not enough parameters\r\n' | od -An -tx1)" "$(od -An -tx1 "$work/none.out")"

# Through a serial device server: each build reaches its own simulator
# through ser2net over rfc2217://, with the same stations.
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
declare -A device_port
free_port() {  # a port of 127.0.0.1 that nothing listens on
  local port
  while :; do
    port=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}
start_device_server() {  # NAME: a simulator, and ser2net in front of it on a free port
  local name=$1 port
  "$sim" --station 3:weight=1250 --station 12:silent --record "$work/$name.rec" >"$work/$name.pty" &
  sim_pids+=($!)
  for _ in $(seq 50); do [ -s "$work/$name.pty" ] && break; sleep 0.1; done
  port=$(free_port)
  printf 'connection: &c1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
    "$port" "$(head -n 1 "$work/$name.pty")" >"$work/$name.yaml"
  "$ser2net" -n -d -u -P "$work/$name.pid" -c "$work/$name.yaml" >>"$work/ser2net.log" 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
  device_port[$name]=$port
}
start_device_server rfc2217-win
start_device_server rfc2217-linux

# A port nobody listens on: the connection is refused.
refused_port=$(free_port)

run_pids=()
SCALEPOLL_COM1="rfc2217://127.0.0.1:$refused_port" timeout 60 wine build-win/scalepoll.exe COM1 9600 8 None 1 3 \
  >"$work/refused-win.out" 2>/dev/null &
run_pids+=($!)
SCALEPOLL_COM1="rfc2217://127.0.0.1:${device_port[rfc2217-win]}" timeout 60 wine build-win/scalepoll.exe \
  COM1 9600 8 None 1 3 12 >"$work/rfc2217-win.out" 2>/dev/null &
run_pids+=($!)
SCALEPOLL_COM1="rfc2217://127.0.0.1:${device_port[rfc2217-linux]}" SCALEPOLL_COM2=$work/no-port-2 \
  SCALEPOLL_COM3=$work/no-port-3 SCALEPOLL_COM4=$work/no-port-4 timeout 60 build-winlinux/scalepoll \
  COM1 9600 8 None 1 3 12 >"$work/rfc2217-linux.out" 2>/dev/null &
run_pids+=($!)
for name in "${runs[@]}"; do
  # shellcheck disable=SC2086
  timeout 60 wine build-win/scalepoll.exe "COM${com[$name]}" 9600 8 None 1 ${stations[$name]} \
    >"$work/$name-win.out" 2>/dev/null &
  run_pids+=($!)
  # shellcheck disable=SC2086
  timeout 60 "$sim" ${sim_options[$name]} --record "$work/$name-linux.rec" -- \
    build-winlinux/scalepoll COM1 9600 8 None 1 ${stations[$name]} >"$work/$name-linux.out" 2>/dev/null &
  run_pids+=($!)
done
for pid in "${run_pids[@]}"; do wait "$pid" || true; done
for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done

# The bytes a simulator heard, in order, in hex.
heard() { awk '$2 == "rx" { $1 = ""; $2 = ""; printf "%s", $0 }' "$1"; }
for name in "${runs[@]}"; do
  check "$name: result line" "${expected[$name]}" "$(cat "$work/$name-win.out")"
  check "$name: the Linux build's result line" "$(cat "$work/$name-linux.out")" "$(cat "$work/$name-win.out")"
  check "$name: the Linux build's bytes on the line" "$(heard "$work/$name-linux.rec")" \
    "$(heard "$work/$name-win.rec")"
done

check "refused connection: the station is silent" "0;3,1,0" "$(cat "$work/refused-win.out")"
check "rfc2217: result line" "0;3,0,1250;12,1,0" "$(cat "$work/rfc2217-win.out")"
check "rfc2217: the Linux build's result line" "$(cat "$work/rfc2217-linux.out")" "$(cat "$work/rfc2217-win.out")"
check "rfc2217: the Linux build's bytes on the line" "$(heard "$work/rfc2217-linux.rec")" \
  "$(heard "$work/rfc2217-win.rec")"

# The settings window, scalepoll-console.exe, in the same Wine prefix on a
# virtual display of its own: tools/console/window/tests/window_test.sh.
echo "scalepoll-console.exe under Wine, on a virtual display:"
if tools/console/window/tests/window_test.sh build-win "$sim" build-win/console-window.png; then
  passed=$((passed + 1))
else
  echo "FAILED the settings window"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
