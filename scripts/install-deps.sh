#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that a purpose needs (run as root):
#
#   install-deps.sh tools    build and run the tools: the library, vkm470burn,
#                            vkm470sim, vkm470, the example, the manual pages
#   install-deps.sh tests    the tools' packages and everything the tests need
#                            (matplotlib: the Python capture example's plot)
#   install-deps.sh bench    the tools' packages and the benchmarks' (bench/run)
#   install-deps.sh python   the tools' packages and the Python package's
#                            (PYTHONPATH=python from the source tree)
#
# Several purposes may be named; none names them all.
set -euo pipefail

declare -A sets
# libcli11-dev and nlohmann-json3-dev: the command lines and JSON of the tools;
# nettle-dev: the SHA-256 of the images in vkm470's record.
sets[tools]="cmake ninja-build g++ pkg-config libusb-1.0-0-dev libcli11-dev nlohmann-json3-dev
  nettle-dev"
# googletest: the suites, and its sources for the Windows builds; umockdev:
# the USB tests' emulated sysfs and usbfs; dpkg-dev, file and lintian:
# dpkg-shlibdeps, cpack's look at the binaries and the check of the Debian
# packages in the install test; groff-base: the manual pages' check; clang and
# libclang-rt-dev: the fuzz targets (libFuzzer); MinGW-w64 and wine64: the
# Windows builds and their tests; numpy and pytest: the Python package; venv,
# pip and setuptools: its pip install into a fresh virtual environment; srecord
# and binutils: Intel HEX and S-record files made by srec_cat and objcopy for
# vkm470's image readers, and srec_cat reading its output back.
sets[tests]="googletest libgtest-dev umockdev libumockdev-dev dpkg-dev file lintian groff-base
  clang libclang-rt-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
  python3 python3-numpy python3-pytest python3-matplotlib python3-venv python3-pip
  python3-setuptools srecord binutils"
# numpy: the Python package's stream words.
sets[python]="python3 python3-numpy"
# libboost-dev: the byte ring's comparison with boost::lockfree.
sets[bench]="libbenchmark-dev libboost-dev"

purposes=("$@")
if [ ${#purposes[@]} -eq 0 ]; then purposes=(tools tests bench python); fi
packages=${sets[tools]}
for purpose in "${purposes[@]}"; do
  if [ -z "${sets[$purpose]+set}" ]; then
    echo "usage: install-deps.sh [tools|tests|bench|python]..." >&2
    exit 2
  fi
  [ "$purpose" = tools ] || packages+=" ${sets[$purpose]}"
done

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086 # a list of package names
apt-get install -y -qq --no-install-recommends $packages >/dev/null
