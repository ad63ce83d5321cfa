# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place and `cpack` packs: the shared library
# with its header, a CMake package and a pkg-config file for it, the burner,
# the module tool vkm470, vkm470sim, the manual pages, the udev rule template and (rules in python/)
# the Python package. Nothing else is installed: the static libraries inside
# the shared one, the tests and the examples stay in the build tree.
#
# Each rule names its install component, which is one Debian package, split as
# Debian splits a library: lib (libvkm470fapi1: the shared library), dev
# (libvkm470fapi-dev: the header, the link-time name, the pkg-config file, the
# CMake package, man3), tools (vkm470-tools: the programs, their pages, the
# udev rule) and python (python3-vkm470, rules in python/).
#
# The target `shipped` builds everything that is installed, so that the
# install works after building it alone (scripts/demo.sh does): whatever
# installs a built file adds its target with add_dependencies(shipped ...).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_custom_target(shipped)
add_dependencies(shipped vkm470fapi vkm470burn vkm470 vkm470sim)

set(VKM470_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vkm470fapi)

# The library links its parts PRIVATE, so its exported target needs nothing
# but itself.
install(TARGETS vkm470fapi EXPORT vkm470fapiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vkm470fapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

# The burner finds the library installed beside it under whatever prefix the
# tree is installed to, without a system-wide library path.
file(RELATIVE_PATH libFromBin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(vkm470burn vkm470 PROPERTIES INSTALL_RPATH "$ORIGIN/${libFromBin}")
install(TARGETS vkm470burn vkm470 vkm470sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)

install(EXPORT vkm470fapiTargets NAMESPACE vkm470fapi:: DESTINATION ${VKM470_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vkm470fapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vkm470fapiConfig.cmake INSTALL_DESTINATION ${VKM470_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vkm470fapiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vkm470fapiConfig.cmake
              ${PROJECT_BINARY_DIR}/vkm470fapiConfigVersion.cmake
        DESTINATION ${VKM470_CMAKE_DIR} COMPONENT dev)

# Paths relative to the .pc file's own folder, so that the file holds for any
# install prefix: `cmake --install --prefix`, and the package's /usr.
file(RELATIVE_PATH VKM470_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VKM470_PC_PREFIX "${VKM470_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vkm470fapi.pc.in ${PROJECT_BINARY_DIR}/vkm470fapi.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vkm470fapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# Manual pages go out compressed, as Debian has them, each into the folder of
# the section its name ends with.
set(VKM470_MAN_PAGES vkm470burn.1 vkm470.1 vkm470sim.1 vkm470fapi.3)
find_program(VKM470_GZIP gzip REQUIRED)
set(manPages)
foreach(page IN LISTS VKM470_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(copy ${PROJECT_BINARY_DIR}/man/${page})
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${VKM470_GZIP} -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  set(component tools)
  if(section STREQUAL "3")
    set(component dev)
  endif()
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  list(APPEND manPages ${copy}.gz)
endforeach()
add_custom_target(vkm470_man ALL DEPENDS ${manPages})
add_dependencies(shipped vkm470_man)

# A udev rule for real USB modules, to be copied and given the module's IDs.
install(FILES ${PROJECT_SOURCE_DIR}/share/70-vkm470.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vkm470 COMPONENT tools)

# cpack: four Debian packages, one of each install component, binaries
# stripped, their dependencies read from the binaries. Each package has its
# copyright file and its changelog in /usr/share/doc/<package>; those are
# for the packages only (EXCLUDE_FROM_ALL: `cmake --install` leaves them out).
set(VKM470_PACKAGE_MAINTAINER "VKM470 tools team <vkm470-tools@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(VKM470_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the packages' version")
set(debianVersion ${PROJECT_VERSION}-${VKM470_DEBIAN_REVISION})
set(VKM470_PACKAGES libvkm470fapi1 libvkm470fapi-dev vkm470-tools python3-vkm470)
set(VKM470_PACKAGE_COMPONENTS lib dev tools python)
configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/copyright.in ${PROJECT_BINARY_DIR}/deb/copyright @ONLY)
set(debianDocs)
foreach(package component IN ZIP_LISTS VKM470_PACKAGES VKM470_PACKAGE_COMPONENTS)
  set(version ${debianVersion})
  set(changelog ${PROJECT_BINARY_DIR}/deb/${package}/changelog.Debian)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${VKM470_GZIP} -9nkf ${changelog}
    DEPENDS ${changelog}
    VERBATIM)
  list(APPEND debianDocs ${changelog}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/deb/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
add_custom_target(vkm470_debian_docs ALL DEPENDS ${debianDocs})
add_dependencies(shipped vkm470_debian_docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vkm470-tools)
set(CPACK_PACKAGE_VENDOR "VKM470 tools team")
set(CPACK_PACKAGE_CONTACT ${VKM470_PACKAGE_MAINTAINER})
# CMAKE_INSTALL_PREFIX is /usr while cpack installs (the staging folder comes
# in as DESTDIR), as the Python package's rule expects.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VKM470_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VKM470_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
foreach(package component IN ZIP_LISTS VKM470_PACKAGES VKM470_PACKAGE_COMPONENTS)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endforeach()

# The shared library: a shlibs entry for libvkm470fapi.so.1 (any later 1.x
# will do), and ldconfig through its trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION
  "device library of the VKM470 module
The vkm470fapi library opens a VKM470 module over USB or over a parallel-port
download cable, programs and reads its flash, sends DSP commands and streams
16-bit words between the module and the host.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvkm470fapi1 (= ${debianVersion})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "device library of the VKM470 module - development files
The C header of the vkm470fapi library, its link-time name, a CMake package
(find_package(vkm470fapi)), a pkg-config file and its manual page.")

# The programs link the library: dpkg-shlibdeps, run in the tools' staging
# folder, finds it in the library's (its other dependencies come from there);
# the dependency on the library's package itself is named here.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../lib/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvkm470fapi1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "flash burner, module tool and virtual module for VKM470 modules
vkm470burn writes the boot, application and PGA images and the serial number
into a module's flash. vkm470 lists modules, shows what one holds, reads,
verifies, writes only what changed and erases, on several modules at once.
vkm470sim makes virtual modules in image files, so that all of them can be
used without hardware. A udev rule for real USB modules is in
/usr/share/vkm470.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3, python3-numpy, libvkm470fapi1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Python package for VKM470 modules
The Python package vkm470 opens VKM470 modules through the vkm470fapi
library, programs and reads their flash, and streams 16-bit words into
numpy arrays.")
include(CPack)
