#!/bin/busybox sh
# /init of the kernel-usb tests' guest. It loads the USB serial modules,
# waits for the adapter's /dev/ttyUSB0, runs the scalepoll runs the test
# wrote to /schedule, reports each one's exit status, duration, CPU time and
# the line ends in its output (none: one line), its result line and its line
# trace on the console, and powers the guest off.
#
# The schedule asks the host to pull the adapter out or put it back with a
# console line ("kernel-usb: unplug", "kernel-usb: unplug-at-frame N",
# "kernel-usb: replug"); the host does it through QEMU's monitor.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
exec </dev/null >/dev/null 2>&1

# One line on the console, through the kernel's log at level 0.
say() { echo "<0>kernel-usb: $*" > /dev/kmsg; }

uptime_ms() {
  read -r seconds _ < /proc/uptime
  echo $(( ${seconds%.*} * 1000 + 1${seconds#*.} * 10 - 1000 ))
}

# wait_for present|absent: until /dev/ttyUSB0 is so, at most 10 s.
wait_for() {
  tries=0
  while [ $tries -lt 200 ]; do
    if [ -e /dev/ttyUSB0 ]; then [ "$1" = present ] && return; else [ "$1" = absent ] && return; fi
    sleep 0.05
    tries=$((tries + 1))
  done
}

# run NAME PARAMETERS...: scalepoll with PARAMETERS, its outcome kept under
# NAME with its line trace; the CPU time is the process's own, user and
# system, in ms.
run() {
  name=$1; shift
  start=$(uptime_ms)
  SCALEPOLL_TRACE="/tmp/$name.trace" time -f "%U %S" -o "/tmp/$name.cpu" scalepoll "$@" > "/tmp/$name.line"
  status=$?
  read -r user system < "/tmp/$name.cpu"
  cpu=$(( ${user%.*} * 1000 + 1${user#*.} * 10 - 1000 + ${system%.*} * 1000 + 1${system#*.} * 10 - 1000 ))
  echo "$status $(( $(uptime_ms) - start )) $cpu $(wc -l < "/tmp/$name.line")" > "/tmp/$name.end"
}

for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do insmod "/lib/modules/$module.ko"; done
wait_for present
say "booted-ms $(uptime_ms)"
export SCALEPOLL_COM1=/dev/ttyUSB0 SCALEPOLL_COM2=/dev/missing-com2 SCALEPOLL_COM3=/dev/missing-com3 \
  SCALEPOLL_COM4=/dev/missing-com4
. /schedule
say runs-end
for end in /tmp/*.end; do
  name=${end##*/}
  name=${name%.end}
  say "result $name $(cat "$end") $(cat "/tmp/$name.line")"
  [ -f "/tmp/$name.trace" ] && while read -r entry; do say "trace $name $entry"; done < "/tmp/$name.trace"
done
poweroff -f
