#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the tools (all that `cmake --install` installs), then burns a virtual
# module as a user would: a module image in a fresh folder, attached as QDev0
# and ALTLPT1 under a device directory of its own, written over the parallel
# port and over USB, then shown and checked with the module tool. Prints each
# command as it would be typed, followed by what it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each build step is quiet when it works and shows its own output when it
# fails; configure's line on the tests (which of their packages are missing)
# is shown either way.
log=$(mktemp "${TMPDIR:-/tmp}/vkm470-demo-build.XXXXXX")
trap 'rm -f "$log"' EXIT
quiet() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "demo.sh: this step failed: $*" >&2
    exit 1
  fi
}
quiet cmake --preset default
grep -h '^-- VKM470_TESTS' "$log" || true
quiet cmake --build --preset default -j "$(nproc)" --target shipped
PATH="$PWD/build/default/bin:$PATH"
demo=$(mktemp -d "${TMPDIR:-/tmp}/vkm470-demo.XXXXXX")
cd "$demo"

run() {
  printf '$ %s\n' "$1"
  eval "$1"
}

echo "# A virtual module in $demo, with a device directory of its own"
run 'cd '"$demo"
run 'export VKM470_DEVICES=$PWD/devices'
run 'vkm470sim create module.img'
run 'vkm470sim attach module.img'
run 'vkm470sim list'

echo "# Small example images (each parallel-port page takes about 60 ms)"
run "seq -f 'boot %06g' 500 > boot.bin"
run "seq -f 'application %06g' 500 > app.bin"
run "seq -f 'logic %06g' 230 > pga.bin"
run "seq -f 'application over USB %06g' 2000 > app-usb.bin"

echo "# Over the parallel port: 512-byte pages, then boot, application and PGA"
run 'vkm470burn -i LPT1 -t'
run 'vkm470burn -i LPT1 -w -v -b boot.bin -a app.bin -p pga.bin'

echo "# Over USB: a new application, and the serial number"
run 'vkm470burn -i USB -w -v -a app-usb.bin'
run 'vkm470burn -i USB -n VKM-0001'

echo "# The serial number read back over the parallel port, and the module"
run 'vkm470burn -i LPT1 -n'
run 'vkm470sim show module.img'

echo "# The module tool: what the module holds, a verify of the images now in it, and a write"
echo "# of the same images, which finds every page as it should be and programs none"
run 'vkm470 info -d lpt:1'
run 'vkm470 verify -d lpt:1 --boot boot.bin --app app-usb.bin --pga pga.bin --serial VKM-0001'
run 'vkm470 write -d lpt:1 --boot boot.bin --app app-usb.bin --pga pga.bin --serial VKM-0001'
echo "# The module stays in $demo/module.img"
