#!/usr/bin/env bash
# Puts a Debian kernel at DIR/vmlinuz for the kernel tests' guests:
#   cloud    the cloud kernel (the image linux-image-cloud-amd64 depends on),
#            whose UART drivers are built in;
#   generic  the generic kernel of the same version (its -unsigned image
#            package), with the USB serial modules the guest loads copied to
#            DIR/modules/.
# The package is downloaded and unpacked into DIR, never installed; a kernel
# already there is kept, so a rebuild or a second test run downloads nothing.
#
#   tests/kernel_uart/fetch-kernel.sh DIR [cloud|generic]
set -euo pipefail
dir=${1:?usage: $0 DIR [cloud|generic]}
flavour=${2:-cloud}
# The USB serial drivers and what the chip models' gadgets need: dummy_hcd,
# configfs, FunctionFS, and the legacy gadgetfs.
usb_modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio ch341 pl2303 cp210x cdc-acm
  configfs udc-core libcomposite usb_f_fs gadgetfs dummy_hcd)

# A kernel kept from an earlier run is enough when it has every module.
complete() {
  [ -s "$dir/vmlinuz" ] || return 1
  [ "$flavour" = generic ] || return 0
  for module in "${usb_modules[@]}"; do [ -s "$dir/modules/$module.ko" ] || return 1; done
}
complete && exit 0

cloud_package() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

image_package() {
  local cloud
  cloud=$(cloud_package)
  [ -n "$cloud" ] || return 0
  case $flavour in
    cloud) echo "$cloud" ;;
    generic) echo "${cloud%-cloud-amd64}-amd64-unsigned" ;;
  esac
}

case $flavour in
  cloud|generic) ;;
  *) echo "fetch-kernel: no kernel flavour $flavour" >&2; exit 2 ;;
esac

# The download needs apt's package lists; a fresh machine may not have them
# yet, or only lists older than the archive. One retry after updating them.
mkdir -p "$dir/download"
chmod 0777 "$dir/download"  # apt-get download writes as its own user when run as root
package=$(image_package)
if [ -z "$package" ] || ! (cd "$dir/download" && apt-get download -qq "$package"); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  package=$(image_package)
  [ -n "$package" ] || { echo "fetch-kernel: no package linux-image-cloud-amd64 in apt's lists" >&2; exit 1; }
  (cd "$dir/download" && apt-get download -qq "$package")
fi

rm -rf "$dir/unpacked" "$dir/modules"
dpkg-deb -x "$dir/download/${package}"_*.deb "$dir/unpacked"
if [ "$flavour" = generic ]; then
  mkdir -p "$dir/modules"
  for module in "${usb_modules[@]}"; do
    found=$(find "$dir/unpacked/lib/modules" -name "$module.ko")
    [ -n "$found" ] || { echo "fetch-kernel: no $module.ko in $package" >&2; exit 1; }
    cp "$found" "$dir/modules/"
  done
fi
cp "$dir"/unpacked/boot/vmlinuz-* "$dir/vmlinuz.part"
mv "$dir/vmlinuz.part" "$dir/vmlinuz"
# The cloud kernel's modules are not needed: that guest uses only what is built in.
rm -rf "$dir/download" "$dir/unpacked"
