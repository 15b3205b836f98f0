# The Wine prefix of one test run: cmake -DACTION=setup|cleanup -DWINE=<wine>
#   -DWINESERVER=<wineserver> -DPREFIX=<folder> -P wine_prefix.cmake
# with WINEPREFIX=<folder> in the environment (the tests' environment sets it).
#
# setup: stops a server left from an earlier run, deletes the old prefix and creates a new one, so
# every run starts without files left behind (c:\test.ini, c:\temp). Creating a prefix takes from a
# few seconds to about half a minute under emulation; doing it once here keeps the first test from
# paying for it inside its own time limit.
# cleanup: stops the prefix's server so no Wine process outlives the run.

cmake_minimum_required(VERSION 3.25)

if(NOT "$ENV{WINEPREFIX}" STREQUAL "${PREFIX}")
  message(FATAL_ERROR "WINEPREFIX is \"$ENV{WINEPREFIX}\", expected \"${PREFIX}\"")
endif()

if(ACTION STREQUAL "setup")
  if(EXISTS "${PREFIX}")
    execute_process(COMMAND "${WINESERVER}" -k OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE_RECURSE "${PREFIX}")
  endif()
  string(TIMESTAMP started "%s")
  execute_process(COMMAND ${WINE} wineboot -i RESULT_VARIABLE boot_result)
  # wineboot returns before the services it started have settled; wait for the server to go.
  execute_process(COMMAND "${WINESERVER}" -w)
  string(TIMESTAMP finished "%s")
  math(EXPR seconds "${finished} - ${started}")
  if(NOT boot_result EQUAL 0 OR NOT EXISTS "${PREFIX}/drive_c/windows")
    message(FATAL_ERROR "wineboot failed (${boot_result}): no usable prefix in ${PREFIX}")
  endif()
  message(STATUS "Wine prefix created in ${seconds} s: ${PREFIX}")
  # One server for the whole run: started per program, it and Wine's services would start again
  # for every test. The cleanup stops it.
  # The server goes to the background; with its output on /dev/null it holds none of ctest's pipes,
  # which would keep this test waiting for it.
  execute_process(COMMAND sh -c "exec \"$0\" -p </dev/null >/dev/null 2>&1" "${WINESERVER}"
                  RESULT_VARIABLE server_result)
  # Start Wine's services now, also without ctest's pipes: started by the first test program they
  # would inherit its output and, living as long as the server, keep ctest waiting for it.
  execute_process(COMMAND sh -c "exec \"$0\" cmd /c exit </dev/null >/dev/null 2>&1" ${WINE}
                  RESULT_VARIABLE warm_result)
  if(NOT server_result EQUAL 0 OR NOT warm_result EQUAL 0)
    message(FATAL_ERROR "starting the Wine server failed (${server_result}, ${warm_result})")
  endif()
elseif(ACTION STREQUAL "cleanup")
  # No server running is fine: it exits by itself once its last process has ended.
  execute_process(COMMAND "${WINESERVER}" -k OUTPUT_QUIET ERROR_QUIET)
else()
  message(FATAL_ERROR "ACTION must be setup or cleanup")
endif()
