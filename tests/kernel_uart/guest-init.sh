#!/bin/busybox sh
# /init of the kernel-uart tests' guest. It runs the scalepoll runs the test
# wrote to /schedule, then reports each one's exit status, duration, result
# line and line trace on the console, and powers the guest off.
#
# The console stays silent while the runs go on: what it prints is register
# writes on the console's UART too, and QEMU's trace does not tell the two
# UARTs apart. The lines runs-start and runs-end fence the runs in that trace.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
# The kernel gave init the console as its standard files: closed here, so
# nothing but the lines below ever reaches it.
exec </dev/null >/dev/null 2>&1

# One line on the console, written there before the call returns: through
# the kernel's log at level 0, the only one the boot's loglevel=1 lets out.
say() { echo "<0>kernel-uart: $*" > /dev/kmsg; }

uptime_ms() {
  read -r seconds _ < /proc/uptime
  echo $(( ${seconds%.*} * 1000 + 1${seconds#*.} * 10 - 1000 ))
}

# run NAME PARAMETERS...: scalepoll with PARAMETERS, its outcome and line
# trace kept under NAME.
run() {
  name=$1; shift
  start=$(uptime_ms)
  SCALEPOLL_TRACE="/tmp/$name.trace" scalepoll "$@" > "/tmp/$name.line"
  status=$?
  echo "$status $(( $(uptime_ms) - start ))" > "/tmp/$name.end"
}

say runs-start
booted=$(uptime_ms)
. /schedule
say runs-end
say "booted-ms $booted"
for end in /tmp/*.end; do
  name=${end##*/}
  name=${name%.end}
  say "result $name $(cat "$end") $(cat "/tmp/$name.line")"
  [ -f "/tmp/$name.trace" ] && while read -r entry; do say "trace $name $entry"; done < "/tmp/$name.trace"
done
poweroff -f
