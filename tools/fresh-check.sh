#!/usr/bin/env bash
# Tries the README's two commands as a newcomer would: on a minimal Debian root
# (debootstrap --variant=minbase), as root in a chroot, on a clean clone of a commit.
# `./dev run` passes when the panel (offscreen) is still running PANEL_SECONDS after it
# started; `./dev test` when ctest passes. Prints each step's result and time.
#
#   sudo tools/fresh-check.sh [commit]      (default HEAD; uncommitted changes are not seen)
#
# The pristine root is cached in $FRESH_CACHE/root-$SUITE and reused; each run works on a
# scratch copy that is removed afterwards. Logs stay in $FRESH_CACHE/logs.
set -euo pipefail

SUITE=${SUITE:-bookworm}
MIRROR=${MIRROR:-http://deb.debian.org/debian}
FRESH_CACHE=${FRESH_CACHE:-/var/cache/irisdesk-fresh}
PANEL_SECONDS=${PANEL_SECONDS:-5}
STEP_LIMIT=${STEP_LIMIT:-2400} # seconds for either command, set-up and build included

if [ "$(id -u)" -ne 0 ]; then # debootstrap, mount and chroot need root
  command -v sudo >/dev/null || { echo "fresh-check: run as root" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
top=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}")
cache="$FRESH_CACHE/root-$SUITE"
logs="$FRESH_CACHE/logs"
mkdir -p "$logs"
stamp=$(date -u +%Y%m%dT%H%M%SZ)

results=()
failed=0
step_start=0
begin() { step_start=$(date +%s); echo "== $1"; }
# end NAME STATUS [LOG]: records the step; on failure shows the tail of its log.
end() {
  local secs=$(($(date +%s) - step_start))
  results+=("$(printf '%-4s %5ss  %s' "$2" "$secs" "$1")")
  if [ "$2" != ok ]; then
    failed=1
    if [ -n "${3:-}" ]; then echo "-- last lines of $3:" && tail -n 30 "$3"; fi
  fi
}
summary() {
  echo
  echo "fresh-check of ${commit:0:12} on $SUITE minbase:"
  printf '  %s\n' "${results[@]}"
}

if ! command -v debootstrap >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

begin "bootstrap"
if [ -x "$cache/bin/sh" ]; then
  end "minimal root (cached)" ok
else
  rm -rf "$cache.tmp"
  if debootstrap --variant=minbase "$SUITE" "$cache.tmp" "$MIRROR" >"$logs/$stamp-bootstrap.log" 2>&1; then
    mv "$cache.tmp" "$cache"
    end "minimal root (debootstrap)" ok
  else
    end "minimal root (debootstrap)" FAIL "$logs/$stamp-bootstrap.log"
    summary
    exit 1
  fi
fi

scratch=$(mktemp -d /var/tmp/irisdesk-fresh.XXXXXX)
root="$scratch/root"
mounts=()
run_pid=""
cleanup() {
  local i
  if [ -n "$run_pid" ] && kill -TERM "$run_pid" 2>/dev/null; then wait "$run_pid" 2>/dev/null || true; fi
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  # Never delete through a mount that is still there: it would reach the host's /dev.
  if grep -q " $scratch/" /proc/mounts; then
    echo "fresh-check: mounts left under $scratch, not removing it" >&2
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

begin "copy"
cp -a "$cache" "$root"
# The network settings the machine would have; no services started from inside the chroot.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" && chmod +x "$root/usr/sbin/policy-rc.d"
git clone -q --no-hardlinks --no-checkout "$top" "$root/src"
git -C "$root/src" checkout -q --detach "$commit"
# The root a mount point of its own, as on a machine: the udev_rules test's `unshare
# --mount` makes / private in its namespace, which fails where / is a plain folder, and
# the test would then only check the rules' text instead of running udev on them.
mount --bind "$root" "$root"
mounts+=("$root")
for m in proc dev dev/pts sys; do
  mount --bind "/$m" "$root/$m"
  mounts+=("$root/$m")
done
end "root copy, clone, mounts" ok

# As root in the chroot, with a login-like environment.
in_root=(chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

begin "./dev run"
run_log="$logs/$stamp-run.log"
token="$stamp.$$"
# timeout leads its own process group and passes a TERM on to all of it.
timeout "$STEP_LIMIT" "${in_root[@]}" QT_QPA_PLATFORM=offscreen IRISDESK_FRESH_CHECK="$token" \
  sh -c 'cd /src && exec ./dev run' >"$run_log" 2>&1 &
run_pid=$!
# The panel is the process named irisdesk that carries this run's token.
panel=""
while [ -z "$panel" ] && kill -0 "$run_pid" 2>/dev/null; do
  sleep 1
  for c in /proc/[0-9]*/comm; do
    { read -r comm <"$c"; } 2>/dev/null || continue # gone meanwhile
    [ "$comm" = irisdesk ] || continue
    p=${c%/comm}
    # An irisdesk that ended meanwhile (help2man runs `irisdesk --help` in the build) is
    # skipped without a word: the redirection's error would escape a 2>/dev/null after it.
    if { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qx "IRISDESK_FRESH_CHECK=$token"; then panel=${p#/proc/}; fi
  done
done
if [ -n "$panel" ]; then
  echo "panel up after $(($(date +%s) - step_start))s (set-up and build included); watching it ${PANEL_SECONDS}s"
  sleep "$PANEL_SECONDS"
  if kill -0 "$panel" 2>/dev/null; then
    kill -TERM "$run_pid" 2>/dev/null || true
    wait "$run_pid" || true
    run_pid=""
    # It closes on TERM like on Ctrl+C, keeping its settings.
    if [ -f "$root/src/build/vrx330.ini" ]; then
      end "./dev run (panel kept running, closed on TERM, wrote its settings)" ok
    else
      end "./dev run (panel kept running, wrote no settings on TERM)" FAIL "$run_log"
    fi
  else
    wait "$run_pid" || true
    end "./dev run (panel ended early)" FAIL "$run_log"
  fi
else
  rc=0 && wait "$run_pid" || rc=$?
  end "./dev run (no panel, exit $rc)" FAIL "$run_log"
fi

begin "./dev test"
test_log="$logs/$stamp-test.log"
if timeout "$STEP_LIMIT" "${in_root[@]}" sh -c 'cd /src && exec ./dev test' >"$test_log" 2>&1; then
  end "./dev test ($(grep -o '[0-9]*% tests passed.*' "$test_log" | tail -n 1))" ok
else
  end "./dev test" FAIL "$test_log"
fi

summary
echo "  logs: $logs/$stamp-*.log"
exit "$failed"
