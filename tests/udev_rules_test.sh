#!/usr/bin/env bash
# Checks the udev rules shipped in DIR (res/): a rule that tags uaccess must sort before
# systemd's 73-seat-late.rules, which turns the tag into the seat user's access (later it
# silently does nothing); every rule line has a match and only keys udev knows (udev skips
# a line with an unknown key, so a typo also silently does nothing). Then udev itself runs
# the rules on a fake FTDI bridge and a fake bridge of another maker (umockdev's sysfs,
# the rules in place of /etc/udev/rules.d in a mount namespace of their own): the FTDI
# tty is opened to the seat's user, kept from ModemManager and has its latency timer set
# to 1 ms; the other is left alone.
set -uo pipefail
export LC_ALL=C # udev orders rule files bytewise
dir=${1:?usage: udev_rules_test.sh DIR}
keys=" ACTION DEVPATH KERNEL KERNELS NAME SYMLINK SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTR ATTRS "
keys+="SYSCTL ENV CONST TAG TAGS TEST PROGRAM RESULT OWNER GROUP MODE SECLABEL RUN LABEL GOTO IMPORT OPTIONS "
token='([A-Z]+)(\{[^}]*\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"[^"]*"'
fail=0
bad() { echo "$1: $2"; fail=1; }
shopt -s nullglob
files=("$dir"/*.rules)
[ ${#files[@]} -gt 0 ] || bad "$dir" "no rule files"
for f in "${files[@]}"; do
  name=${f##*/}
  if grep -v '^[[:space:]]*#' "$f" | grep -q 'TAG+="uaccess"' && [[ ! "$name" < 73-seat-late.rules ]]; then
    bad "$name" "sets uaccess but sorts after 73-seat-late.rules, so the tag is never used"
  fi
  if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$f" || bad "$name" "udevadm verify failed"
    continue
  fi
  n=0
  while IFS= read -r line; do
    n=$((n + 1))
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    rest=$line
    matched=0
    while [[ "$rest" =~ $token ]]; do
      [[ "$keys" == *" ${BASH_REMATCH[1]} "* ]] || bad "$name:$n" "unknown key ${BASH_REMATCH[1]}"
      [[ "${BASH_REMATCH[3]}" == [=!]= ]] && matched=1
      rest=${rest/"${BASH_REMATCH[0]}"/,}
    done
    [[ "$rest" =~ ^[[:space:],]*$ ]] || bad "$name:$n" "cannot read: $rest"
    [ $matched = 1 ] || bad "$name:$n" "no match key: would apply to every device"
  done <"$f"
done

# A USB-serial bridge of this vendor, bound as ftdi_sio binds one, in umockdev's format.
fake_bridge() {
  local usb=/devices/pci0000:00/usb1/1-1
  printf 'P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%s\nA: idProduct=6001\n\n' "$usb" "$1"
  printf 'P: %s/1-1:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n\n' "$usb"
  printf 'P: %s/1-1:1.0/ttyUSB0\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\nA: latency_timer=16\n\n' "$usb"
  printf 'P: %s/1-1:1.0/ttyUSB0/tty/ttyUSB0\nE: SUBSYSTEM=tty\nL: device=../..\n' "$usb"
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A private mount namespace keeps these mounts from the machine: root makes one itself,
# anyone else inside a user namespace. A chroot allows neither (its / is no mount point),
# and there only the checks above run.
namespace=()
for try in "unshare --mount" "unshare --user --map-root-user --mount"; do
  if $try true 2>/dev/null; then
    read -r -a namespace <<<"$try"
    break
  fi
done
if [ ${#namespace[@]} -eq 0 ]; then
  echo "udev not run on fake bridges: no private mount namespace can be made here"
  exit $fail
fi
for vendor in 0403 067b; do
  fake_bridge "$vendor" >"$scratch/$vendor.umockdev"
  # /run on a tmpfs too: udev's database of the fake device stays out of the machine's.
  if ! "${namespace[@]}" sh -c 'mount -t tmpfs none /run && mount --bind "$1" /etc/udev/rules.d &&
      exec umockdev-run --device "$2" -- udevadm test --action=add "$3"' sh "$dir" "$scratch/$vendor.umockdev" \
      /sys/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0 >"$scratch/$vendor.log" 2>&1; then
    bad "udevadm test ($vendor)" "could not run: $(tail -3 "$scratch/$vendor.log")"
    continue
  fi
  applied=$(grep -c -e "device/latency_timer' writing '1'" -e '^ID_MM_DEVICE_IGNORE=1$' \
    -e '^TAGS=.*:uaccess:' "$scratch/$vendor.log")
  grep -q "Failed to write ATTR" "$scratch/$vendor.log" && bad "udevadm test ($vendor)" "$(grep 'Failed to write' "$scratch/$vendor.log")"
  want=3
  [ $vendor = 0403 ] || want=0
  [ "$applied" = $want ] || bad "udevadm test ($vendor)" "$applied of the rule's 3 effects applied, expected $want"
done
exit $fail
