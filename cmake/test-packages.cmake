# SPDX-License-Identifier: MIT
# What the tests need beyond the tools' packages, as the Debian packages that
# `bash scripts/install-deps.sh tests` installs. Sets VKM470_TESTS_MISSING to
# the names of those not found (empty when all are there). The tools never
# need any of them: a machine with some of them builds the tools all the same.
#
#   libgtest-dev      GoogleTest (for Windows builds: its sources, googletest)
#   libumockdev-dev   umockdev-1.0 for pkg-config: the USB tests' emulated bus
#   umockdev          its preload library, which stands in for sysfs and usbfs
#   dpkg-dev, file    dpkg-shlibdeps and file, which cpack runs in the package test
#   groff-base        groff, which checks the manual pages
function(vkm470_find_test_packages)
  set(missing)
  if(CMAKE_CROSSCOMPILING)
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
      list(APPEND missing googletest)
    endif()
  else()
    find_package(GTest QUIET)
    if(NOT GTest_FOUND)
      list(APPEND missing libgtest-dev)
    endif()
  endif()
  if(NOT WIN32)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
    endif()
    if(NOT UMOCKDEV_FOUND)
      list(APPEND missing libumockdev-dev)
    endif()
    find_library(UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0)
    if(NOT UMOCKDEV_PRELOAD)
      list(APPEND missing umockdev)
    endif()
    find_program(VKM470_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(NOT VKM470_DPKG_SHLIBDEPS)
      list(APPEND missing dpkg-dev)
    endif()
    find_program(VKM470_FILE file)
    if(NOT VKM470_FILE)
      list(APPEND missing file)
    endif()
    find_program(VKM470_GROFF groff)
    if(NOT VKM470_GROFF)
      list(APPEND missing groff-base)
    endif()
  endif()
  set(VKM470_TESTS_MISSING ${missing} PARENT_SCOPE)
endfunction()
