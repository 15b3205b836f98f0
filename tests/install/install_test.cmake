# Installs the built project into a fresh prefix under the build folder, then configures, builds and
# runs the consumer project against that prefix alone. Run with cmake -P and these variables:
#   BUILD_DIR     the build folder to install from
#   WORK_DIR      a folder of this test's own (emptied first, removed after success)
#   CONSUMER_DIR  the consumer project's sources
#   GENERATOR, C_COMPILER, CXX_COMPILER, C_FLAGS, CXX_FLAGS, LINKER_FLAGS  the build's own settings,
#                 so that a sanitizer build's library links into the consumer
#   TOOL          ON when the command-line tool was built and must be installed too
#   LIBDIR, VERSION, SOVERSION, CONFIG  where the library goes, its versions, and the build type
#                 whose name the package's per-configuration file carries
cmake_minimum_required(VERSION 3.25)

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/consumer-build)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Exactly these files: the library with its own headers and its package, and the tool. A header
# whose code is not in the installed library would leave its users with link errors.
string(TOLOWER "${CONFIG}" config)
if(config STREQUAL "")
  set(config noconfig)
endif()
set(expected
  include/mplnet/engine.h
  include/mplnet/error.h
  include/mplnet/export.h
  include/mplnet/mplnet.h
  include/mplnet/network_file.h
  ${LIBDIR}/libmplnet.so
  ${LIBDIR}/libmplnet.so.${SOVERSION}
  ${LIBDIR}/libmplnet.so.${VERSION}
  ${LIBDIR}/cmake/mplnet/mplnetConfig.cmake
  ${LIBDIR}/cmake/mplnet/mplnetConfigVersion.cmake
  ${LIBDIR}/cmake/mplnet/mplnetTargets.cmake
  ${LIBDIR}/cmake/mplnet/mplnetTargets-${config}.cmake)
if(TOOL)
  list(APPEND expected bin/mplnet)
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT expected)
list(SORT installed)
if(NOT installed STREQUAL expected)
  list(JOIN installed "\n  " installed_text)
  list(JOIN expected "\n  " expected_text)
  message(FATAL_ERROR "installed:\n  ${installed_text}\nexpected:\n  ${expected_text}")
endif()
if(TOOL)
  run_step("installed tool" ${prefix}/bin/mplnet --version)
  if(NOT step_output MATCHES "[0-9]+\\.[0-9]+\\.[0-9]+")
    message(FATAL_ERROR "mplnet --version printed '${step_output}'")
  endif()
endif()

# Only the prefix is searched: the consumer must not find the build tree's package or headers.
run_step("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${consumer_build}
  -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
run_step("consumer build" ${CMAKE_COMMAND} --build ${consumer_build})

# The consumer saves, loads back and refuses network files in a folder of the test's own.
file(MAKE_DIRECTORY ${WORK_DIR}/files)
run_step("consumer" ${consumer_build}/consumer ${WORK_DIR}/files)
string(CONCAT consumer_output
  "output 0.858148935099512\n"
  "loaded 0.858148935099512\n"
  "refused ${WORK_DIR}/files/bad.ini [Neuron_10] alpha: \"x\" is not a number\n"
  "exports 0\n")
if(NOT step_output STREQUAL consumer_output)
  message(FATAL_ERROR "the consumer printed:\n${step_output}")
endif()
run_step("C consumer" ${consumer_build}/consumer_c)
if(NOT step_output STREQUAL "Error: MPLRun, no network loaded\n")
  message(FATAL_ERROR "the C consumer printed:\n${step_output}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed package consumed: ok")
