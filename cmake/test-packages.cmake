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
    # Programs the tests run, each with its package.
    foreach(program_package IN ITEMS dpkg-shlibdeps:dpkg-dev file:file groff:groff-base)
      string(REPLACE ":" ";" pair ${program_package})
      list(GET pair 0 program)
      list(GET pair 1 package)
      find_program(VKM470_PROGRAM_${program} ${program})
      if(NOT VKM470_PROGRAM_${program})
        list(APPEND missing ${package})
      endif()
    endforeach()
  endif()
  set(VKM470_TESTS_MISSING ${missing} PARENT_SCOPE)
endfunction()
