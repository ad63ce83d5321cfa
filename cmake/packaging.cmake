# What `cmake --install` puts in place and `cpack` packs: the shared library
# with its header, a CMake package and a pkg-config file for it, the burner,
# the module tool vkm470, vkm470sim, the manual pages, the udev rule template and (rules in python/)
# the Python package. Nothing else is installed: the static libraries inside
# the shared one, the tests and the examples stay in the build tree.
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
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vkm470fapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The burner finds the library installed beside it under whatever prefix the
# tree is installed to, without a system-wide library path.
file(RELATIVE_PATH libFromBin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(vkm470burn vkm470 PROPERTIES INSTALL_RPATH "$ORIGIN/${libFromBin}")
install(TARGETS vkm470burn vkm470 vkm470sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT vkm470fapiTargets NAMESPACE vkm470fapi:: DESTINATION ${VKM470_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vkm470fapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vkm470fapiConfig.cmake INSTALL_DESTINATION ${VKM470_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vkm470fapiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vkm470fapiConfig.cmake
              ${PROJECT_BINARY_DIR}/vkm470fapiConfigVersion.cmake
        DESTINATION ${VKM470_CMAKE_DIR})

# Paths relative to the .pc file's own folder, so that the file holds for any
# install prefix: `cmake --install --prefix`, and the package's /usr.
file(RELATIVE_PATH VKM470_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VKM470_PC_PREFIX "${VKM470_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vkm470fapi.pc.in ${PROJECT_BINARY_DIR}/vkm470fapi.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vkm470fapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

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
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND manPages ${copy}.gz)
endforeach()
add_custom_target(vkm470_man ALL DEPENDS ${manPages})
add_dependencies(shipped vkm470_man)

# A udev rule for real USB modules, to be copied and given the module's IDs.
install(FILES ${PROJECT_SOURCE_DIR}/share/70-vkm470.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vkm470)

# cpack: one Debian package of the installed tree, binaries stripped, its
# dependencies read from the binaries.
set(VKM470_PACKAGE_MAINTAINER "VKM470 tools team <vkm470-tools@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vkm470-tools)
set(CPACK_PACKAGE_VENDOR "VKM470 tools team")
set(CPACK_PACKAGE_CONTACT ${VKM470_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "VKM470 module tools: device library, flash burner, virtual module")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "The vkm470fapi library opens a VKM470 module over USB or over a parallel-port\n"
  "download cable, programs and reads its flash, sends DSP commands and streams\n"
  "16-bit words; with its C header, a CMake package and a pkg-config file.\n"
  "vkm470burn writes the boot, application and PGA images and the serial number\n"
  "into a module's flash. vkm470 lists modules, shows what one holds, reads,\n"
  "verifies, writes only what changed and erases, on several modules at once.\n"
  "vkm470sim makes virtual modules in image files, so that all of them can be\n"
  "used without hardware. A udev rule template for real USB modules is in\n"
  "/usr/share/vkm470.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs entry for libvkm470fapi.so.1 (any later 1.x will do) and ldconfig
# after installing and removing.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Two packages: the tools (every rule above, the default install component),
# and python3-vkm470, the Python package (component python), which needs
# numpy and the tools' library.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME vkm470-tools)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vkm470)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3, python3-numpy, vkm470-tools (= ${PROJECT_VERSION})")
# Each description follows the common summary line.
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
string(CONCAT CPACK_DEBIAN_PYTHON_DESCRIPTION
  "The Python package vkm470 opens VKM470 modules through the vkm470fapi\n"
  "library, programs and reads their flash, and streams 16-bit words into\n"
  "numpy arrays.")
include(CPack)
