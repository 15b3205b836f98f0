# Tests that hold the native build and the 32-bit and 64-bit Windows builds to the same results, and
# the tests of the Windows DLL as a host loads it. Included at the end of tests/CMakeLists.txt, after every
# other test is defined, because in a Windows build it sets the Wine environment on all of them.

# Forward-pass outputs to the bit, against one reference file that every build must reproduce:
# computed by the engine, and through the exports of the shared library a host loads
# (libmplnet.so, mplnet.dll). After an intended change of results, regenerate it natively:
#   build/default/tests/forward_bits > tests/data/forward_bits.txt
add_executable(forward_bits host/forward_bits.cpp)
target_link_libraries(forward_bits PRIVATE mplnet_core mplnet_flags ${CMAKE_DL_LIBS})
target_include_directories(forward_bits PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(forward_bits mplnet)
set(MPLNET_FORWARD_BITS ${CMAKE_CURRENT_SOURCE_DIR}/data/forward_bits.txt)

# The loop from a host's bars to a network the host runs (host/bar_loop_test.cmake): this host
# program feeds the bars through the shared library and runs the trained network through it; the
# tool, which runs on the development machine only, reads the bar log and trains in between.
add_executable(bar_loop_host host/bar_loop_host.cpp)
target_include_directories(bar_loop_host PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
add_dependencies(bar_loop_host mplnet)
if(WIN32)
  target_link_libraries(bar_loop_host PRIVATE mplnet_flags)
  target_link_options(bar_loop_host PRIVATE -static)
else()
  # Bars go through the library's own intake: the export's fixed log is outside the test's folder.
  target_link_libraries(bar_loop_host PRIVATE mplnet_core mplnet_flags ${CMAKE_DL_LIBS})
endif()
# mplnet_add_bar_loop_test(<tool> [<cmake arguments>...])
function(mplnet_add_bar_loop_test tool)
  add_test(NAME bar_loop_test
           COMMAND ${CMAKE_COMMAND} -DTOOL=${tool} -DHOST=$<TARGET_FILE:bar_loop_host>
                   -DLIBRARY=$<TARGET_FILE:mplnet> -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/bar_loop_test
                   ${ARGN} -P ${CMAKE_CURRENT_SOURCE_DIR}/host/bar_loop_test.cmake)
endfunction()

# The host's positions against mplnet backtest's, and the host's save keeping the recipe
# (host/backtest_host_test.cmake), with the same host program.
# mplnet_add_backtest_host_test(<tool> [<cmake arguments>...])
function(mplnet_add_backtest_host_test tool)
  add_test(NAME backtest_host_test
           COMMAND ${CMAKE_COMMAND} -DTOOL=${tool} -DHOST=$<TARGET_FILE:bar_loop_host>
                   -DLIBRARY=$<TARGET_FILE:mplnet>
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/backtest_host_test
                   ${ARGN} -P ${CMAKE_CURRENT_SOURCE_DIR}/host/backtest_host_test.cmake)
endfunction()

if(NOT WIN32)
  add_test(NAME forward_bits
           COMMAND forward_bits --check ${MPLNET_FORWARD_BITS} --library $<TARGET_FILE:mplnet>)
  if(TARGET mplnet_tool)
    mplnet_add_bar_loop_test($<TARGET_FILE:mplnet_tool>)
    mplnet_add_backtest_host_test($<TARGET_FILE:mplnet_tool>)
  endif()
  return()
endif()

# Windows programs see the build machine's files through drive Z: of the Wine prefix.
target_link_options(forward_bits PRIVATE -static)
add_test(NAME forward_bits
         COMMAND forward_bits --check Z:${MPLNET_FORWARD_BITS} --library Z:$<TARGET_FILE:mplnet>)

# A host program: LoadLibrary, exports by name and ordinal, stack pointer checks (32-bit), the fixed
# files.
add_executable(dll_host_test host/dll_host_test.cpp)
target_include_directories(dll_host_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dll_host_test PRIVATE mplnet_flags)
target_link_options(dll_host_test PRIVATE -static)
add_dependencies(dll_host_test mplnet)
add_test(NAME dll_host_test
         COMMAND dll_host_test Z:$<TARGET_FILE:mplnet> Z:${CMAKE_CURRENT_SOURCE_DIR}/data)
# Again under a user locale with a decimal comma: the bar log must write "1,5", and a network file
# saved with commas must read back.
add_test(NAME dll_host_test_decimal_comma
         COMMAND dll_host_test Z:$<TARGET_FILE:mplnet> Z:${CMAKE_CURRENT_SOURCE_DIR}/data
                 --decimal-comma)
# Each owns c:\test.ini and c:\temp of the prefix while it runs.
set_tests_properties(dll_host_test dll_host_test_decimal_comma PROPERTIES
  RESOURCE_LOCK wine_fixed_files)

# The trainer and the tool are not part of a Windows build: the tool comes from a native build of
# this source beside it, without tests (with the compiler launcher this build uses, so that a
# compiler cache serves both).
if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  ExternalProject_Add(mplnet_native_tool
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/native_tool
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DMPLNET_BUILD_TESTS=OFF -DMPLNET_WERROR=${MPLNET_WERROR}
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
               -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_dependencies(bar_loop_host mplnet_native_tool)
  set(mplnet_native_tool ${CMAKE_BINARY_DIR}/native_tool/tools/mplnet)
  # The loop with the 32-bit DLL, the one trading terminals load most.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    mplnet_add_bar_loop_test(${mplnet_native_tool}
                             -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DHOST_PREFIX=Z:)
    # Its host program owns c:\temp of the prefix while it feeds the bars.
    set_tests_properties(bar_loop_test PROPERTIES RESOURCE_LOCK wine_fixed_files)
  endif()
  mplnet_add_backtest_host_test(${mplnet_native_tool}
                                -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DHOST_PREFIX=Z:)
  set_tests_properties(backtest_host_test PROPERTIES RESOURCE_LOCK wine_fixed_files)
endif()

# The DLL's export and import tables as the linker wrote them.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(mplnet_dll_arch x64)
else()
  set(mplnet_dll_arch x86)
endif()
# With clang, also what an MSVC client of the public header asks the DLL for.
find_program(MPLNET_CLANGXX clang++)
set(mplnet_msvc_client_args "")
if(MPLNET_CLANGXX)
  set(mplnet_msvc_client_args -DCLANG=${MPLNET_CLANGXX} -DINCLUDE_DIR=${PROJECT_SOURCE_DIR}/include
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/dll_tables_test)
else()
  message(STATUS "clang++ not found: dll_tables_test does not check an MSVC client's imports")
endif()
add_test(NAME dll_tables_test
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:mplnet>
                 -DARCH=${mplnet_dll_arch} ${mplnet_msvc_client_args}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/host/dll_tables_test.cmake)

if(NOT CMAKE_CROSSCOMPILING)
  return()  # built on Windows itself: the programs run directly
endif()

# Every Windows program runs under Wine (CMAKE_CROSSCOMPILING_EMULATOR) in a prefix of this build
# folder, created afresh by the first test of each run: nothing of the user's own Wine setup is read
# or written, and the fixed files c:\test.ini and c:\temp\test.txt live in that prefix's drive_c.
find_program(MPLNET_WINESERVER wineserver)
set(MPLNET_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(MPLNET_WINE_ENVIRONMENT
    "WINEPREFIX=${MPLNET_WINEPREFIX}"
    "WINEDEBUG=-all"
    # No prompts to install Mono or Gecko.
    "WINEDLLOVERRIDES=mscoree,mshtml="
    # Number texts follow the user's locale; the expected texts are written with a decimal point.
    "LC_ALL=C")
foreach(action setup cleanup)
  add_test(NAME wine_prefix_${action}
           COMMAND ${CMAKE_COMMAND} -DACTION=${action} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
                   -DWINESERVER=${MPLNET_WINESERVER} -DPREFIX=${MPLNET_WINEPREFIX}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/host/wine_prefix.cmake)
endforeach()
set_tests_properties(wine_prefix_setup PROPERTIES
  FIXTURES_SETUP wine_prefix TIMEOUT 300 ENVIRONMENT "${MPLNET_WINE_ENVIRONMENT}")
set_tests_properties(wine_prefix_cleanup PROPERTIES
  FIXTURES_CLEANUP wine_prefix ENVIRONMENT "${MPLNET_WINE_ENVIRONMENT}")

get_property(mplnet_wine_tests DIRECTORY PROPERTY TESTS)
list(REMOVE_ITEM mplnet_wine_tests wine_prefix_setup wine_prefix_cleanup dll_tables_test)
set_tests_properties(${mplnet_wine_tests} PROPERTIES
  FIXTURES_REQUIRED wine_prefix ENVIRONMENT "${MPLNET_WINE_ENVIRONMENT}" TIMEOUT 300)
# Wine takes the user's locale from the Unix one.
set_tests_properties(dll_host_test_decimal_comma PROPERTIES
  ENVIRONMENT "${MPLNET_WINE_ENVIRONMENT};LC_ALL=de_DE.UTF-8")
