# SPDX-License-Identifier: MIT
# Renders each manual page in PAGES (files named NAME.SECTION) with groff's
# warnings all on, tables included, as `man -l` would render it; any warning
# fails the test.
find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is not installed (Debian: groff-base)")
endif()
file(GLOB pages ${PAGES}/*.[1-9])
if(NOT pages)
  message(FATAL_ERROR "no manual pages in ${PAGES}")
endif()
set(failed)
foreach(page IN LISTS pages)
  execute_process(COMMAND ${GROFF} -t -ww -z -b -man -Tutf8 ${page}
    RESULT_VARIABLE rc ERROR_VARIABLE warnings)
  if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
    message(SEND_ERROR "${page}:\n${warnings}")
    list(APPEND failed ${page})
  else()
    message(STATUS "${page}: no warnings")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "manual pages with warnings: ${failed}")
endif()
