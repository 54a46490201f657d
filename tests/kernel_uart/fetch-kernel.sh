#!/usr/bin/env bash
# Puts Debian's cloud kernel (the image linux-image-cloud-amd64 depends on)
# at DIR/vmlinuz for the kernel-uart tests' guest. The package is downloaded
# and unpacked into DIR, never installed; a kernel already there is kept, so
# a rebuild or a second test run downloads nothing.
#
#   tests/kernel_uart/fetch-kernel.sh DIR
set -euo pipefail
dir=${1:?usage: $0 DIR}
[ -s "$dir/vmlinuz" ] && exit 0

image_package() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

# The download needs apt's package lists; a fresh machine may not have them
# yet, or only lists older than the archive.
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

rm -rf "$dir/unpacked"
dpkg-deb -x "$dir/download/${package}"_*.deb "$dir/unpacked"
cp "$dir"/unpacked/boot/vmlinuz-* "$dir/vmlinuz.part"
mv "$dir/vmlinuz.part" "$dir/vmlinuz"
# The modules are not needed: the guest uses only what is built in.
rm -rf "$dir/download" "$dir/unpacked"
