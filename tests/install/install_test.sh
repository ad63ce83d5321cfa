#!/usr/bin/env bash
# The installed tree, as the library's users and the Debian package see it.
#
#   install_test.sh tree      installs the build into a fresh prefix, checks
#                             that exactly the shipped files are there, builds
#                             the example against it with find_package and with
#                             pkg-config, and runs both and the installed tools
#                             against a virtual module
#   install_test.sh package   packs the build with cpack and checks the
#                             package's files and fields
#
# The environment names the build (CMAKE, CPACK, BUILD, LIBDIR, INCLUDEDIR,
# BINDIR, MANDIR, DATADIR, PYTHONDIR, CONFIG, VERSION) and for "tree" the consumer
# project, the example, CC, CFLAGS, LDFLAGS and GENERATOR to build it with,
# and PYTHON to import the installed Python package with (none: not tried).
set -euo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The Python package's files, relative to the prefix.
python_files() {
  local file
  for file in __init__ _installed convert errors flashmap gate module names raw status stream; do
    echo "$PYTHONDIR/vkm470/$file.py"
  done
}

# The files and links of an installed tree, relative to its prefix.
shipped() {
  local cmakedir=$LIBDIR/cmake/vkm470fapi
  python_files
  printf '%s\n' \
    "$BINDIR/vkm470" \
    "$BINDIR/vkm470burn" \
    "$BINDIR/vkm470sim" \
    "$INCLUDEDIR/vkm470fapi.h" \
    "$LIBDIR/libvkm470fapi.so" \
    "$LIBDIR/libvkm470fapi.so.1" \
    "$LIBDIR/libvkm470fapi.so.$VERSION" \
    "$cmakedir/vkm470fapiConfig.cmake" \
    "$cmakedir/vkm470fapiConfigVersion.cmake" \
    "$cmakedir/vkm470fapiTargets.cmake" \
    "$cmakedir/vkm470fapiTargets-${CONFIG:-noconfig}.cmake" \
    "$LIBDIR/pkgconfig/vkm470fapi.pc" \
    "$MANDIR/man1/vkm470.1.gz" \
    "$MANDIR/man1/vkm470burn.1.gz" \
    "$MANDIR/man1/vkm470sim.1.gz" \
    "$MANDIR/man3/vkm470fapi.3.gz" \
    "$DATADIR/vkm470/70-vkm470.rules"
}

expect_same() {  # what, expected file, actual file
  diff -u "$2" "$3" >&2 || fail "$1 differ from the shipped files (- expected, + found)"
}

# Runs a program and checks that its output has the given text.
expect_output() {  # text, command...
  local text=$1 out
  shift
  out=$("$@") || fail "$* exited with $?: $out"
  grep -qF -- "$text" <<<"$out" || fail "$* printed '$out', not '$text'"
}

tree() {
  local prefix=$work/prefix
  "$CMAKE" --install "$BUILD" --prefix "$prefix" >/dev/null
  shipped | sort >"$work/expected"
  (cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$work/found"
  expect_same "installed files" "$work/expected" "$work/found"

  # The CMake package: the imported target carries the header and the library.
  "$CMAKE" -S "$CONSUMER" -B "$work/consumer" -G "$GENERATOR" -DSOURCE="$EXAMPLE" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" ||
    { cat "$work/consumer.log" >&2; fail "the consumer project does not configure"; }
  "$CMAKE" --build "$work/consumer" >>"$work/consumer.log" ||
    { cat "$work/consumer.log" >&2; fail "the consumer project does not build"; }

  # The pkg-config file, and only it.
  export PKG_CONFIG_LIBDIR=$prefix/$LIBDIR/pkgconfig
  [ "$(pkg-config --modversion vkm470fapi)" = "$VERSION" ] || fail "pkg-config's version is not $VERSION"
  # shellcheck disable=SC2046,SC2086 # the flags are lists of words
  "$CC" $CFLAGS -std=c11 -Wpedantic "$EXAMPLE" $(pkg-config --cflags --libs vkm470fapi) $LDFLAGS \
    -o "$work/pkg-config-consumer" || fail "the example does not build with pkg-config's flags"

  # A virtual module under a device directory of the test's own.
  export VKM470_DEVICES=$work/devices
  "$prefix/$BINDIR/vkm470sim" create "$work/module.img" >/dev/null
  "$prefix/$BINDIR/vkm470sim" attach "$work/module.img" >/dev/null

  # The CMake-built program finds the library through its run path; the other
  # one as any program does under a prefix off the system's library path.
  expect_output "4 MiB looped back and checked" "$work/consumer/consumer" 4
  expect_output "4 MiB looped back and checked" \
    env LD_LIBRARY_PATH="$prefix/$LIBDIR" "$work/pkg-config-consumer" 4
  # The installed burner finds the library installed beside it.
  expect_output "Writing serial.OK" "$prefix/$BINDIR/vkm470burn" -i USB -n INSTALLED
  expect_output "Serial Number: INSTALLED" "$prefix/$BINDIR/vkm470burn" -i USB -n
  expect_output "serial:      INSTALLED" "$prefix/$BINDIR/vkm470" info
  # The installed Python package finds the library and the header installed
  # beside it, with nothing in the environment but where it lies.
  if [ -n "${PYTHON:-}" ]; then
    expect_output "INSTALLED; device could not be opened" \
      env -u VKM470_LIBRARY PYTHONPATH="$prefix/$PYTHONDIR" PYTHONDONTWRITEBYTECODE=1 "$PYTHON" -c \
      'import vkm470; print(vkm470.open("usb:0").serial, vkm470.status_text(-1002), sep="; ")'
  fi
}

package() {
  "$CPACK" --config "$BUILD/CPackConfig.cmake" -B "$work" >"$work/cpack.log" ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
  local deb=$work/vkm470-tools_${VERSION}_amd64.deb python=$work/python3-vkm470_${VERSION}_all.deb
  [ "$(cd "$work" && ls -- *.deb)" = "$(basename "$python")
$(basename "$deb")" ] || fail "cpack made other packages: $(cd "$work" && ls -- *.deb)"

  shipped | grep -vxF -f <(python_files) | sed 's|^|./usr/|' | sort >"$work/expected"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/found"
  expect_same "packaged files" "$work/expected" "$work/found"

  # The Python package: its files, on numpy and on the tools' library.
  python_files | sed 's|^|./usr/|' | sort >"$work/expected"
  dpkg-deb -c "$python" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/found"
  expect_same "packaged Python files" "$work/expected" "$work/found"
  [ "$(dpkg-deb -f "$python" Depends)" = "python3, python3-numpy, vkm470-tools (= $VERSION)" ] ||
    fail "python3-vkm470 Depends: $(dpkg-deb -f "$python" Depends)"
  [ "$(dpkg-deb -f "$python" Architecture)" = all ] || fail "python3-vkm470 is not Architecture: all"

  [ "$(dpkg-deb -f "$deb" Package)" = vkm470-tools ] || fail "package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "package version"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in libc6 libstdc++6; do
    tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$needed" ||
      fail "Depends '$depends' lacks $needed"
  done
  # The shipped library is named to dpkg, and ldconfig runs when it comes and goes.
  dpkg-deb -e "$deb" "$work/control"
  grep -qx "libvkm470fapi 1 vkm470-tools (>= $VERSION)" "$work/control/shlibs" ||
    fail "shlibs: $(cat "$work/control/shlibs" 2>&1)"
  for script in postinst postrm; do
    grep -qw ldconfig "$work/control/$script" || fail "$script does not run ldconfig"
  done
}

case ${1:-} in
  tree) tree ;;
  package) package ;;
  *) fail "usage: install_test.sh tree|package" ;;
esac
