#!/usr/bin/env bash
# Checks the udev rules shipped in DIR (res/): a rule that tags uaccess must sort before
# systemd's 73-seat-late.rules, which turns the tag into the seat user's access (later it
# silently does nothing); every rule line has a match and only keys udev knows (udev skips
# a line with an unknown key, so a typo also silently does nothing).
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
exit $fail
