# Reads the export and import tables of mplnet.dll with objdump -p:
#   cmake -DOBJDUMP=<objdump> -DDLL=<mplnet.dll> -DARCH=x86|x64 -P dll_tables_test.cmake
# The DLL must be built for ARCH, export exactly the five names with ordinals 1 to 5 and nothing
# else (no decorated Name@N spellings, no unnamed ordinals), and import only from DLLs that every
# Windows has, so that a host can load it without a C++ runtime beside it. MPLSetData carries the
# decoration an MSVC client of that architecture looks for.

cmake_minimum_required(VERSION 3.25)

if(ARCH STREQUAL "x86")
  set(expected_format pei-i386)
  set(set_data_name "?MPLSetData@@YGPADPBURateInfo@@HHH@Z")
elseif(ARCH STREQUAL "x64")
  set(expected_format pei-x86-64)
  set(set_data_name "?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z")
else()
  message(FATAL_ERROR "ARCH must be x86 or x64, not \"${ARCH}\"")
endif()
set(expected_exports
    "1 MPLGetOutArraySize"
    "2 MPLLoad"
    "3 MPLRun"
    "4 MPLSave"
    "5 ${set_data_name}")
# DLLs that Windows itself ships (compared without regard to case). The MinGW runtime DLLs
# (libstdc++-6, libgcc_s_*, libwinpthread-1) are exactly what must not appear.
set(system_dlls kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll shell32.dll ole32.dll
    oleaut32.dll ws2_32.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${result}")
endif()
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(failures "")
set(format "")
set(base "")
set(section "")
set(address_count 0)
set(exports "")
set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "file format ([^ \t]+)$")
    set(format ${CMAKE_MATCH_1})
  elseif(line MATCHES "Ordinal Base ([0-9]+)")
    set(base ${CMAKE_MATCH_1})
    set(section addresses)
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(section names)
  elseif(line MATCHES "^[ \t]*$")
    set(section "")
  elseif(section STREQUAL "addresses" AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] \\+base")
    math(EXPR address_count "${address_count} + 1")
  elseif(section STREQUAL "names" AND line MATCHES "^[ \t]*\\[ *([0-9]+)\\] (.+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND exports "${ordinal} ${CMAKE_MATCH_2}")
  elseif(line MATCHES "DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  endif()
endforeach()

list(SORT exports)
list(JOIN exports ", " shown_exports)
list(JOIN imports ", " shown_imports)
message(STATUS "format: ${format}")
message(STATUS "exports (ordinal name): ${shown_exports}")
message(STATUS "imports: ${shown_imports}")

if(NOT format STREQUAL expected_format)
  list(APPEND failures "file format ${format}, expected ${expected_format}")
endif()
if(NOT exports STREQUAL expected_exports)
  list(JOIN exports ", " got)
  list(JOIN expected_exports ", " want)
  list(APPEND failures "exports are ${got}\n  expected ${want}")
endif()
if(NOT base STREQUAL "1" OR NOT address_count EQUAL 5)
  list(APPEND failures "export address table: base ${base} with ${address_count} entries (expected base 1 with 5)")
endif()
if(imports STREQUAL "")
  list(APPEND failures "no import table found")
endif()
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST system_dlls)
    list(APPEND failures "imports from ${dll}, which Windows does not ship")
  endif()
endforeach()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "mplnet.dll tables:\n  ${text}")
endif()
