# SPDX-License-Identifier: MIT
# Fails when a file in library/ includes something from outside library/ and
# include/: the library knows the seam's interface, never a driver or the
# virtual module (those are tied in by the composition root, wiring/).
#
# Each quoted include is resolved as the compiler resolves it for the library:
# beside the including file, then from library/, then from include/. One that
# resolves nowhere there (a bare "ppdev.h", a "sim/module.h", a "../drivers/x.h")
# could only have come from elsewhere.
#
# Usage: cmake -DROOT=<source tree> -P library_includes.cmake
if(NOT ROOT)
  message(FATAL_ERROR "ROOT is not set")
endif()

file(GLOB_RECURSE sources LIST_DIRECTORIES false
     ${ROOT}/library/*.h ${ROOT}/library/*.hpp ${ROOT}/library/*.c ${ROOT}/library/*.cpp)
set(bad "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  get_filename_component(dir ${source} DIRECTORY)
  file(RELATIVE_PATH shown ${ROOT} ${source})
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" name "${line}")
    set(found "")
    foreach(base IN ITEMS ${dir} ${ROOT}/library ${ROOT}/include)
      if(NOT found AND EXISTS ${base}/${name} AND NOT IS_DIRECTORY ${base}/${name})
        get_filename_component(found ${base}/${name} REALPATH)
      endif()
    endforeach()
    set(inside FALSE)
    foreach(allowed IN ITEMS ${ROOT}/library/ ${ROOT}/include/)
      get_filename_component(allowed ${allowed} REALPATH)
      string(FIND "${found}" "${allowed}/" at)
      if(at EQUAL 0)
        set(inside TRUE)
      endif()
    endforeach()
    if(NOT inside)
      list(APPEND bad "${shown}: #include \"${name}\"")
    endif()
  endforeach()
endforeach()

list(LENGTH sources count)
if(count EQUAL 0)
  message(FATAL_ERROR "no sources found under ${ROOT}/library")
endif()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "library/ includes from outside library/ and include/:\n  ${text}")
endif()
