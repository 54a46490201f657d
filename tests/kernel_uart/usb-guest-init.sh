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

guest_prefix=kernel-usb
. /lib/guest-runs.sh

# wait_for present|absent: until /dev/ttyUSB0 is so, at most 10 s.
wait_for() {
  tries=0
  while [ $tries -lt 200 ]; do
    if [ -e /dev/ttyUSB0 ]; then [ "$1" = present ] && return; else [ "$1" = absent ] && return; fi
    sleep 0.05
    tries=$((tries + 1))
  done
}

for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do insmod "/lib/modules/$module.ko"; done
wait_for present
say "booted-ms $(uptime_ms)"
export SCALEPOLL_COM1=/dev/ttyUSB0 SCALEPOLL_COM2=/dev/missing-com2 SCALEPOLL_COM3=/dev/missing-com3 \
  SCALEPOLL_COM4=/dev/missing-com4
. /schedule
say runs-end
report_runs
poweroff -f
