#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A machine with GoogleTest but without umockdev (pkg-config sees every
# package of this one but umockdev-1.0): configure in AUTO mode succeeds, says
# in one line which packages the tests miss, leaves the tests out, and a tool
# builds (vkm470sim, the quickest: it takes libusb through pkg-config too).
#
# The environment names CMAKE, CTEST, SOURCE, GENERATOR, CC and CXX.
set -euo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Every package pkg-config knows here, umockdev-1.0 left out.
mkdir "$work/pkgconfig"
IFS=: read -ra dirs <<<"$(pkg-config --variable pc_path pkg-config)"
for dir in "${dirs[@]}"; do
  for pc in "$dir"/*.pc; do
    [ -e "$pc" ] && [ "$(basename "$pc")" != umockdev-1.0.pc ] &&
      [ ! -e "$work/pkgconfig/$(basename "$pc")" ] && ln -s "$pc" "$work/pkgconfig/"
  done
done
export PKG_CONFIG_LIBDIR=$work/pkgconfig
pkg-config --exists umockdev-1.0 && fail "umockdev-1.0 is still visible"

# Nothing from the caller's build (presets, cache, compiler launchers).
env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER \
  "$CMAKE" -S "$SOURCE" -B "$work/build" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configure failed"; }
expected="-- VKM470_TESTS=AUTO: the tests are not built: missing libumockdev-dev (bash scripts/install-deps.sh tests installs them)"
grep -qxF -- "$expected" "$work/configure.log" ||
  { cat "$work/configure.log" >&2; fail "configure did not say: $expected"; }
(cd "$work/build" && "$CTEST" -N) | grep -qx "Total Tests: 0" || fail "tests were configured"

"$CMAKE" --build "$work/build" --target vkm470sim >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "vkm470sim does not build"; }
[ -x "$work/build/bin/vkm470sim" ] || fail "no vkm470sim"
