# Reads the export and import tables of mplnet.dll with objdump -p:
#   cmake -DOBJDUMP=<objdump> -DDLL=<mplnet.dll> -DARCH=x86|x64 -P dll_tables_test.cmake
# The DLL must be built for ARCH, export exactly the five names with ordinals 1 to 5 and nothing
# else (no decorated Name@N spellings, no unnamed ordinals), and import only from DLLs that every
# Windows has, so that a host can load it without a C++ runtime beside it. MPLSetData carries the
# decoration an MSVC client of that architecture looks for.
#
# With -DCLANG=<clang++> -DINCLUDE_DIR=<include> -DWORK_DIR=<folder> it also compiles a C++ client of
# mplnet/mplnet.h as MSVC does for ARCH (clang's MSVC target, same name decoration) and checks that
# the MPLSetData it calls is the one the DLL exports; on x64, where C names are not decorated, the
# four others too. WORK_DIR is created and removed.

cmake_minimum_required(VERSION 3.25)

if(ARCH STREQUAL "x86")
  set(expected_format pei-i386)
  set(set_data_name "?MPLSetData@@YGPADPBURateInfo@@HHH@Z")
  set(msvc_target i686-pc-windows-msvc)
elseif(ARCH STREQUAL "x64")
  set(expected_format pei-x86-64)
  set(set_data_name "?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z")
  set(msvc_target x86_64-pc-windows-msvc)
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

if(CLANG)
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  file(WRITE "${WORK_DIR}/client.cpp" [=[
#include <mplnet/mplnet.h>
int Use(const RateInfo* rates, double* out, const double* in) {
  MPLLoad("net.ini");
  MPLRun(out, in, 2);
  MPLSave("net.ini");
  MPLSetData(rates, 1, 0, 0);
  return MPLGetOutArraySize();
}
]=])
  execute_process(COMMAND "${CLANG}" --target=${msvc_target} -I "${INCLUDE_DIR}" -c client.cpp
                          -o client.obj
                  WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE compiled ERROR_VARIABLE errors)
  execute_process(COMMAND "${OBJDUMP}" -t "${WORK_DIR}/client.obj" OUTPUT_VARIABLE symbols)
  file(REMOVE_RECURSE "${WORK_DIR}")
  # The names the client leaves for the linker: undefined symbols (section 0), calls through a
  # dllimport pointer spelled __imp_<name>.
  string(REGEX MATCHALL "\\(sec +0\\)[^\n]* (__imp_)?([^ \n]*MPL[^ \n]*)" undefined "${symbols}")
  set(wanted "")
  foreach(entry IN LISTS undefined)
    string(REGEX REPLACE ".* (__imp_)?" "" name "${entry}")
    list(APPEND wanted "${name}")
  endforeach()
  list(SORT wanted)
  message(STATUS "an MSVC client (${msvc_target}) asks for: ${wanted}")
  if(NOT compiled EQUAL 0)
    list(APPEND failures "the MSVC client does not compile for ${msvc_target}:\n${errors}")
  elseif(NOT set_data_name IN_LIST wanted)
    list(APPEND failures "an MSVC client asks for ${wanted}, not ${set_data_name}")
  elseif(ARCH STREQUAL "x64")
    set(exported "")
    foreach(entry IN LISTS exports)
      string(REGEX REPLACE "^[0-9]+ " "" name "${entry}")
      list(APPEND exported "${name}")
    endforeach()
    list(SORT exported)
    if(NOT wanted STREQUAL exported)
      list(APPEND failures "an MSVC client asks for ${wanted}, the DLL exports ${exported}")
    endif()
  endif()
endif()

if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "mplnet.dll tables:\n  ${text}")
endif()
