#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's two commands on a bare Debian 12, as a new user's machine
# would have it: a minimal chroot made with debootstrap (variant minbase) from
# Debian's archive, the checkout copied in, then the first command (install
# the tools' packages, build, burn a virtual module) and the second (install
# the tests' packages, run every test). Anyone who changes a dependency proves
# both commands with it. Root only; not part of CI.
#
#   scripts/fresh-check.sh [first]   both commands, or the first only
#
# The bare system is made once and kept in $FRESH_CACHE (default
# /var/cache/vkm470-fresh; delete it to make a new one); every run works on a
# fresh copy of it in $FRESH_WORK (default a new folder under /var/tmp), which
# is removed afterwards unless FRESH_KEEP=1. FRESH_MIRROR names the archive
# (default http://deb.debian.org/debian). Prints how long each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" = 0 ] || { echo "fresh-check.sh: run as root (debootstrap and chroot)" >&2; exit 2; }
case ${1:-} in
  "") steps=2 ;;
  first) steps=1 ;;
  *) echo "usage: fresh-check.sh [first]" >&2; exit 2 ;;
esac
command -v debootstrap >/dev/null || { echo "fresh-check.sh: apt-get install debootstrap" >&2; exit 2; }

cache=${FRESH_CACHE:-/var/cache/vkm470-fresh}
mirror=${FRESH_MIRROR:-http://deb.debian.org/debian}
# The README's commands, as .ci/run finds the second one.
mapfile -t commands < <(grep -E '^bash scripts/install-deps\.sh .*&& ' README.md | head -n 2 | sed 's/ *#.*//')
[ ${#commands[@]} = 2 ] || { echo "fresh-check.sh: the README's two commands are not at its top" >&2; exit 1; }

stamp() { date +%s; }
elapsed() { local s=$(($(stamp) - $1)); printf '%d min %02d s' $((s / 60)) $((s % 60)); }

if [ ! -e "$cache/base/.complete" ]; then
  echo "== making a minimal Debian 12 in $cache/base (once)"
  start=$(stamp)
  rm -rf "$cache/base"
  mkdir -p "$cache"
  debootstrap --variant=minbase bookworm "$cache/base" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 30 "$cache/debootstrap.log" >&2; exit 1; }
  touch "$cache/base/.complete"
  echo "   $(elapsed "$start")"
fi

work=${FRESH_WORK:-$(mktemp -d /var/tmp/vkm470-fresh.XXXXXX)}
root=$work/root
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  if [ "${FRESH_KEEP:-0}" = 1 ]; then
    echo "The chroot stays in $root"
  elif grep -qF " $root/" /proc/self/mounts; then
    # Never remove through a mount that is still there: /dev is the host's.
    echo "fresh-check.sh: $root still has mounts; remove it by hand once they are gone" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
# Stopped (Ctrl-C, kill): the same clean-up.
trap 'exit 130' INT TERM

echo "== a fresh copy in $root, the checkout in /src"
cp -a "$cache/base" "$root"
rm -f "$root/.complete"
mkdir -p "$root/src"
# The checkout as it stands (tracked and new files, not what git ignores, so
# no build folders).
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$root/src"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for fs in proc sys dev dev/pts; do
  mkdir -p "$root/$fs"
  case $fs in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount -t sysfs sys "$root/sys" ;;
    dev) mount --bind /dev "$root/dev" ;;
    dev/pts) mount -t devpts devpts "$root/dev/pts" ;;
  esac
  mounted+=("$root/$fs")
done

for ((i = 0; i < steps; i++)); do
  echo "== \$ ${commands[i]}"
  start=$(stamp)
  if ! chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd /src && ${commands[i]}"; then
    echo "FAILED after $(elapsed "$start"): ${commands[i]}" >&2
    exit 1
  fi
  echo "== passed in $(elapsed "$start")"
done
