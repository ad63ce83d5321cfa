#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root).
# clang and libclang-rt-dev (libFuzzer) build the fuzz targets; libboost-dev is
# for the benchmarks only (the ring's comparison); pkg-config and dpkg-dev
# (dpkg-shlibdeps) for the tests of the installed tree and of the Debian
# package; python3-numpy and python3-pytest for the Python package's tests,
# python3-matplotlib for its capture example.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake ninja-build g++ clang libclang-rt-dev googletest libgtest-dev libbenchmark-dev libcli11-dev binutils \
  pkg-config libusb-1.0-0-dev umockdev libumockdev-dev dpkg-dev \
  libboost-dev \
  python3 python3-numpy python3-pytest python3-matplotlib \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 >/dev/null
