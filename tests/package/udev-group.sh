#!/usr/bin/env bash
# Prints the group that udev's installed rules give the USB device node of an emulated FTDI FT232R
# (0403:6001) whose product string (the EEPROM description) is PRODUCT, as `udevadm test` works
# it out under umockdev, followed by the rule file that set it; prints nothing when no rule sets a
# group. Root only: it runs in a mount namespace of its own with an empty /run and a /dev holding
# only the pseudo devices, so that udevadm's database entries and /dev/char links never reach the
# machine's. Usage: udev-group.sh PRODUCT
set -euo pipefail
product=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
syspath=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1
cat >"$tmp/device.umockdev" <<EOF
P: ${syspath#/sys}
N: bus/usb/001/002
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
E: DEVNAME=/dev/bus/usb/001/002
E: MAJOR=189
E: MINOR=1
E: BUSNUM=001
E: DEVNUM=002
E: PRODUCT=403/6001/600
A: idVendor=0403
A: idProduct=6001
A: product=$product
A: manufacturer=FTDI
A: serial=A1B2C3
A: busnum=1
A: devnum=2
EOF
# udevadm logs each GROUP and MODE a rule assigns as "<device>: <rule file>:<line> GROUP <gid>".
log=$(unshare --mount --propagation private bash -c '
  set -e
  tmp=$1 syspath=$2
  mount -t tmpfs none /run
  mkdir "$tmp/dev"
  mount -t tmpfs none "$tmp/dev"
  for node in null zero full random urandom; do
    touch "$tmp/dev/$node"
    mount --bind "/dev/$node" "$tmp/dev/$node"
  done
  mount --move "$tmp/dev" /dev
  timeout 60 umockdev-run --device "$tmp/device.umockdev" -- udevadm test --action=add "$syspath"
' - "$tmp" "$syspath" 2>&1)
last=$(grep -E '^[^ ]+: [^ ]+\.rules:[0-9]+ GROUP [0-9]+$' <<<"$log" | tail -n 1) || true
[ -n "$last" ] || exit 0
gid=${last##* }
rule=$(sed -E 's/^[^ ]+ ([^ ]+):[0-9]+ GROUP .*$/\1/' <<<"$last")
echo "$(getent group "$gid" | cut -d: -f1) ${rule##*/}"
