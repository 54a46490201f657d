# What the USB guests' /init scripts share (sourced, with guest_prefix set):
# a console line for the host, the guest's uptime, a scalepoll run kept
# under a name, and the report of every run kept so.

# One line on the console, through the kernel's log at level 0.
say() { echo "<0>$guest_prefix: $*" > /dev/kmsg; }

uptime_ms() {
  read -r seconds _ < /proc/uptime
  echo $(( ${seconds%.*} * 1000 + 1${seconds#*.} * 10 - 1000 ))
}

# run NAME PARAMETERS...: scalepoll with PARAMETERS, its outcome kept under
# NAME with its line trace: exit status, duration, CPU time (the process's
# own, user and system, in ms) and the line ends in its output (none: one
# line).
run() {
  name=$1; shift
  start=$(uptime_ms)
  SCALEPOLL_TRACE="/tmp/$name.trace" time -f "%U %S" -o "/tmp/$name.cpu" scalepoll "$@" > "/tmp/$name.line"
  status=$?
  read -r user system < "/tmp/$name.cpu"
  cpu=$(( ${user%.*} * 1000 + 1${user#*.} * 10 - 1000 + ${system%.*} * 1000 + 1${system#*.} * 10 - 1000 ))
  echo "$status $(( $(uptime_ms) - start )) $cpu $(wc -l < "/tmp/$name.line")" > "/tmp/$name.end"
}

# Every kept run's outcome and result line, then its line trace.
report_runs() {
  for end in /tmp/*.end; do
    name=${end##*/}
    name=${name%.end}
    say "result $name $(cat "$end") $(cat "/tmp/$name.line")"
    [ -f "/tmp/$name.trace" ] && while read -r entry; do say "trace $name $entry"; done < "/tmp/$name.trace"
  done
}
