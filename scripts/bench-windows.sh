#!/usr/bin/env bash
# Measures how the Windows build waits, under Wine, beside the Linux build on
# the same simulated line, and prints the figures as markdown tables for the
# README: the port reads and the CPU time of a silent 20 s run, and the
# turnaround of 14 answering stations at 9600 baud (from a reply's last byte
# to the next request, in the simulator's record) with the run's time.
# Nothing is asserted; scripts/test-windows.sh holds the limits.
#
# Wine's COM1 is the simulator's pseudo-terminal and COM2..COM4 paths that do
# not exist. Reads are counted with strace on the port's descriptor (the one
# whose line settings are set); CPU time is the Wine process's and, as the
# server does part of its work, wineserver's.
#
#   scripts/bench-windows.sh   (builds build-win/ and build-winlinux/ first)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build-windows.sh >/dev/null
cmake -S . -B build-winlinux -DSCALEPOLL_TESTS=OFF -DSCALEPOLL_WERROR="${SCALEPOLL_WERROR:-OFF}" >/dev/null
cmake --build build-winlinux -j "$(nproc 2>/dev/null || echo 2)" --target scalepoll scalepoll-sim >/dev/null

work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim=build-winlinux/tools/sim/scalepoll-sim
sim_pid=
finish() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# start_sim OPTION...: a simulator on a pseudo-terminal, Wine's COM1.
start_sim() {
  "$sim" "$@" >"$work/sim.pty" &
  sim_pid=$!
  for _ in $(seq 50); do [ -s "$work/sim.pty" ] && break; sleep 0.1; done
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$(head -n 1 "$work/sim.pty")" /f >/dev/null 2>&1
  for n in 2 3 4; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$work/no-port-$n" /f >/dev/null 2>&1
  done
  # Wine maps its ports when its server starts; one that stays, and Wine's
  # own services, are started outside what is measured.
  wineserver -k || true
  wineserver -w
  wineserver -p >/dev/null 2>&1
  timeout 60 wine build-win/scalepoll.exe >/dev/null 2>&1 || true
}
stop_sim() { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; sim_pid=; }

# CPU seconds wineserver has used so far.
server_cpu() {
  local pid
  pid=$(pgrep -u "$(id -u)" wineserver | head -n 1)
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($14 + $15) / hz }' "/proc/$pid/stat"
}

# Reads of the port in a trace: the descriptor whose line settings were set.
port_reads() {
  awk '{ for (i = 1; i <= NF && $i !~ /^(read|ioctl)\(/; i++) {} if (i > NF) next
         call = $i; fd = call; sub(/^[a-z]+\(/, "", fd); sub(/,.*/, "", fd)
         if (call ~ /^ioctl/ && $0 ~ /TCSETS|TIOCM|SNDCTL_TMR/) port[fd] = 1
         if (call ~ /^read/ && port[fd]) reads++ }
       END { print reads + 0 }' "$1"
}

# The record's turnaround: from a reply's last byte to the next read request.
turnaround() {
  awk '$2 == "tx" { last = $1 }
       $2 == "rx" && last != "" && / 30 3F 4D 0D / { d = $1 - last; sum += d; n++; if (d > max) max = d; last = "" }
       END { if (n) printf "%.1f %.1f\n", sum / n, max; else print "- -" }' "$1"
}

echo "### Silent run under Wine (1 station, 20 s)"
echo
echo "| build | port reads | CPU s (process + wineserver) | run s |"
echo "|---|---|---|---|"
start_sim --station 1:silent
/usr/bin/time -f "%U %S %e" -o "$work/time" strace -f -qq -o "$work/trace" -e trace=read,ioctl -e signal=none \
  wine build-win/scalepoll.exe COM1 9600 8 None 1 1 >/dev/null 2>&1 || true
read -r user system wall <"$work/time"
echo "| Windows, under Wine and strace | $(port_reads "$work/trace") | - (strace's own) | $wall |"
before=$(server_cpu)
/usr/bin/time -f "%U %S %e" -o "$work/time" wine build-win/scalepoll.exe COM1 9600 8 None 1 1 >/dev/null 2>&1 || true
after=$(server_cpu)
read -r user system wall <"$work/time"
echo "| Windows, under Wine | - | $(awk -v u="$user" -v s="$system" -v a="$before" -v b="$after" 'BEGIN { printf "%.2f + %.2f", u + s, b - a }') | $wall |"
stop_sim
"$sim" --station 1:silent -- /usr/bin/time -f "%U %S %e" -o "$work/time" \
  strace -qq -o "$work/trace" -e trace=read,ioctl build-winlinux/scalepoll COM1 9600 8 None 1 1 >/dev/null 2>&1
"$sim" --station 1:silent -- /usr/bin/time -f "%U %S %e" -o "$work/time-plain" \
  build-winlinux/scalepoll COM1 9600 8 None 1 1 >/dev/null 2>&1
read -r user system wall <"$work/time-plain"
echo "| Linux | $(port_reads "$work/trace") | $(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }') | $wall |"

echo
echo "### 14 answering stations at 9600 baud"
echo
echo "| build | turnaround mean / max ms | run ms |"
echo "|---|---|---|"
stations=() options=(--baud 9600)
for n in $(seq 14); do stations+=("$n"); options+=(--station "$n:weight=$((1000 + n)),delay=0"); done
start_sim "${options[@]}" --record "$work/win.rec"
started=$(date +%s%N)
timeout 60 wine build-win/scalepoll.exe COM1 9600 8 None 1 "${stations[@]}" >/dev/null 2>&1 || true
ms=$((($(date +%s%N) - started) / 1000000))
stop_sim
read -r mean max < <(turnaround "$work/win.rec")
echo "| Windows, under Wine | $mean / $max | $ms (Wine's start included) |"
started=$(date +%s%N)
"$sim" "${options[@]}" --record "$work/linux.rec" -- build-winlinux/scalepoll COM1 9600 8 None 1 "${stations[@]}" \
  >/dev/null 2>&1
ms=$((($(date +%s%N) - started) / 1000000))
read -r mean max < <(turnaround "$work/linux.rec")
echo "| Linux | $mean / $max | $ms |"
