# SPDX-License-Identifier: MIT
# Reads a PE file's tables with objdump -p and compares them exactly:
#   -DDLL=<vkm470fapi.dll>  the 25 decorated exports at ordinals 1 to 25, in order,
#                           and imports from Windows' own libraries only;
#   -DEXE=<vkm470burn.exe>  the names the burner imports from vkm470fapi.dll.
set(exports
  _VKM470F_CallApplication@8 _VKM470F_CloseDevice@4 _VKM470F_CloseFullDevice@4
  _VKM470F_CreateBulkFIFO@28 _VKM470F_DSP_Read_Command@24 _VKM470F_DSP_Write_Command@24
  _VKM470F_DisposeBulkFIFO@4 _VKM470F_FlushBulkFIFO@4 _VKM470F_GetBulkFIFOReadReady@8
  _VKM470F_GetBulkFIFOWriteFree@8 _VKM470F_GetDeviceDescr@8 _VKM470F_GetDeviceName@12
  _VKM470F_OpenDevice@8 _VKM470F_ProgrammDSPFlash@20 _VKM470F_ReadBulkFIFO@20
  _VKM470F_ReadDSPFlash@20 _VKM470F_ResetDSP@4 _VKM470F_SearchDevices@12
  _VKM470F_SimpleControlQDevice@20 _VKM470F_SimpleReadBulk@20 _VKM470F_SimpleWriteBulk@20
  _VKM470F_SpecialDSPFlashCommand@16 _VKM470F_StartBulkFIFO@4 _VKM470F_StopBulkFIFO@4
  _VKM470F_WriteBulkFIFO@20)
set(burnerImports
  _VKM470F_CloseDevice@4 _VKM470F_OpenDevice@8 _VKM470F_ProgrammDSPFlash@20
  _VKM470F_ReadDSPFlash@20 _VKM470F_SpecialDSPFlashCommand@16)

# What the library may import from: the system, its C runtime, and for modules
# without their original driver SetupAPI and WinUSB.
set(libraryImports kernel32.dll msvcrt.dll setupapi.dll winusb.dll)

if(NOT DEFINED DLL AND NOT DEFINED EXE)
  message(FATAL_ERROR "nothing to check: define DLL or EXE before -P")
endif()

function(read_tables file outVar)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed on ${file}")
  endif()
  # Semicolons would split the lines into list items.
  string(REPLACE ";" "," out "${out}")
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  set(${outVar} "${lines}" PARENT_SCOPE)
endfunction()

if(DEFINED DLL)
  read_tables(${DLL} lines)
  set(section "")
  set(base "")
  set(addressCount 0)
  set(named)
  foreach(line IN LISTS lines)
    if(line MATCHES "Export Address Table -- Ordinal Base ([0-9]+)")
      set(base ${CMAKE_MATCH_1})
      set(section addresses)
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(section names)
    elseif(section STREQUAL "addresses" AND line MATCHES "^\t\\[ *[0-9]+\\] \\+base")
      math(EXPR addressCount "${addressCount} + 1")
    elseif(section STREQUAL "names" AND line MATCHES "^\t\\[ *([0-9]+)\\] (.+)$")
      # The bracket holds the ordinal less the base.
      math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
      list(APPEND named "${ordinal} ${CMAKE_MATCH_2}")
    elseif(NOT line MATCHES "^\t")
      set(section "")
    endif()
  endforeach()
  list(SORT named COMPARE NATURAL)
  set(expected)
  set(ordinal 0)
  foreach(name IN LISTS exports)
    math(EXPR ordinal "${ordinal} + 1")
    list(APPEND expected "${ordinal} ${name}")
  endforeach()
  if(NOT named STREQUAL expected)
    string(REPLACE ";" "\n  " got "${named}")
    string(REPLACE ";" "\n  " want "${expected}")
    message(FATAL_ERROR "${DLL}: named exports differ\n got:\n  ${got}\n want:\n  ${want}")
  endif()
  if(NOT addressCount EQUAL 25)
    message(FATAL_ERROR "${DLL}: ${addressCount} export addresses, want 25 (no export by ordinal only)")
  endif()
  set(imports)
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" dll)
      list(APPEND imports "${dll}")
    endif()
  endforeach()
  list(SORT imports)
  if(NOT imports STREQUAL libraryImports)
    message(FATAL_ERROR "${DLL}: imports from ${imports}, want ${libraryImports}")
  endif()
endif()

if(DEFINED EXE)
  read_tables(${EXE} lines)
  set(inLibrary FALSE)
  set(seen FALSE)
  set(imported)
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" dll)
      if(dll STREQUAL "vkm470fapi.dll")
        set(inLibrary TRUE)
        set(seen TRUE)
      else()
        set(inLibrary FALSE)
      endif()
    elseif(inLibrary AND line MATCHES "^\t *[0-9a-fA-F]+\t *[0-9]+ +(.+)$")
      list(APPEND imported "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT seen)
    message(FATAL_ERROR "${EXE} does not import from vkm470fapi.dll")
  endif()
  list(SORT imported)
  if(NOT imported STREQUAL burnerImports)
    message(FATAL_ERROR "${EXE}: imports from vkm470fapi.dll differ\n got: ${imported}\n want: ${burnerImports}")
  endif()
endif()
