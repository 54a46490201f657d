#!/bin/busybox sh
# /init of the kernel-chips tests' guest. It loads dummy_hcd (device
# controllers wired to host controllers in the same kernel), configfs,
# FunctionFS and gadgetfs, the USB serial drivers and cdc-acm; then the
# test's /schedule starts a chip model on each controller
# (scalepoll-chip-model), waits for its driver's /dev/ttyUSBn or /dev/ttyACMn
# and runs scalepoll on it, the chips side by side, the CDC-ACM one after them.
# At the end it reports every run as the kernel-usb guest does, then each
# chip model's record of its wire and what it printed on its standard error,
# and what the drivers logged, and powers the guest off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
mount -t sysfs sys /sys
exec </dev/null >/dev/null 2>&1

guest_prefix=kernel-chips
. /lib/guest-runs.sh

# tty_of DRIVER: the /dev/ttyUSBn or /dev/ttyACMn its driver serves, waiting
# up to 10 s. A usb-serial port has the driver itself, a ttyACMn the USB
# interface cdc-acm is bound to.
tty_of() {
  tries=0
  while [ $tries -lt 200 ]; do
    for port in /sys/bus/usb-serial/devices/ttyUSB* /sys/class/tty/ttyACM*; do
      driver=$(readlink "$port/driver" || readlink "$port/device/driver") || continue
      [ "${driver##*/}" = "$1" ] && { echo "/dev/${port##*/}"; return; }
    done
    sleep 0.05
    tries=$((tries + 1))
  done
}

# start_chip CHIP CONTROLLER DRIVER MODEL-ARGUMENTS...: the chip model on
# the controller, and scalepoll's COM1 pointed at the port its driver makes.
start_chip() {
  chip=$1 controller=$2 driver=$3
  shift 3
  scalepoll-chip-model "$chip" "$controller" "/tmp/$chip.wire" "$@" 2> "/tmp/$chip.errors" &
  SCALEPOLL_COM1=$(tty_of "$driver")
  export SCALEPOLL_COM1=${SCALEPOLL_COM1:-/dev/no-port-for-$chip}
  say "port $chip $SCALEPOLL_COM1 $(uptime_ms)"
}

for module in usb-common usbcore configfs udc-core libcomposite usb_f_fs gadgetfs usbserial ch341 pl2303 cp210x \
  ftdi_sio cdc-acm; do
  insmod "/lib/modules/$module.ko"
done
insmod /lib/modules/dummy_hcd.ko num=4 is_high_speed=0 is_super_speed=0
mount -t configfs none /sys/kernel/config
export SCALEPOLL_COM2=/dev/missing-com2 SCALEPOLL_COM3=/dev/missing-com3 SCALEPOLL_COM4=/dev/missing-com4
say "booted-ms $(uptime_ms)"
. /schedule
wait
say runs-end
report_runs
for wire in /tmp/*.wire; do
  chip=${wire##*/}
  chip=${chip%.wire}
  while read -r entry; do say "wire $chip $entry"; done < "$wire"
  while read -r entry; do say "model-error $chip $entry"; done < "/tmp/$chip.errors"
done
# What the USB serial drivers logged, for a chip that did not come up or a
# port that did not open.
dmesg | grep -v "$guest_prefix:" | grep -i -E "ch341|pl2303|cp210x|ftdi|usbserial|ttyUSB|acm|gadget" | while read -r entry; do
  say "kernel-log $entry"
done
poweroff -f
