# SPDX-License-Identifier: MIT
# Compares the library's defined dynamic symbols with the 25 exports.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected
  VKM470F_CallApplication VKM470F_CloseDevice VKM470F_CloseFullDevice VKM470F_CreateBulkFIFO
  VKM470F_DSP_Read_Command VKM470F_DSP_Write_Command VKM470F_DisposeBulkFIFO
  VKM470F_FlushBulkFIFO VKM470F_GetBulkFIFOReadReady VKM470F_GetBulkFIFOWriteFree
  VKM470F_GetDeviceDescr VKM470F_GetDeviceName VKM470F_OpenDevice VKM470F_ProgrammDSPFlash
  VKM470F_ReadBulkFIFO VKM470F_ReadDSPFlash VKM470F_ResetDSP VKM470F_SearchDevices
  VKM470F_SimpleControlQDevice VKM470F_SimpleReadBulk VKM470F_SimpleWriteBulk
  VKM470F_SpecialDSPFlashCommand VKM470F_StartBulkFIFO VKM470F_StopBulkFIFO
  VKM470F_WriteBulkFIFO)
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "defined dynamic symbols differ:\n got: ${names}\n want: ${expected}")
endif()
