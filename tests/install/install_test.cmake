# Installs the built project into a fresh prefix under the build folder, then configures, builds and
# runs the consumer project against that prefix alone. Run with cmake -P and these variables:
#   BUILD_DIR     the build folder to install from
#   WORK_DIR      a folder of this test's own (emptied first, removed after success)
#   CONSUMER_DIR  the consumer project's sources
#   GENERATOR, C_COMPILER, CXX_COMPILER, C_FLAGS, CXX_FLAGS, LINKER_FLAGS  the build's own settings,
#                 so that a sanitizer build's library links into the consumer
#   TOOL          ON when the command-line tool was built and must be installed too
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
foreach(installed include/mplnet/mplnet.h include/mplnet/engine.h include/mplnet/export.h)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
# The offline libraries' headers stay out: the package is the library hosts load.
foreach(left_out include/mplnet/train.h include/mplnet/onnx.h)
  if(EXISTS ${prefix}/${left_out})
    message(FATAL_ERROR "installed, though no installed library serves it: ${left_out}")
  endif()
endforeach()
file(GLOB_RECURSE config_files ${prefix}/*/mplnetConfig.cmake ${prefix}/*/mplnetConfigVersion.cmake)
list(LENGTH config_files config_count)
if(NOT config_count EQUAL 2)
  message(FATAL_ERROR "package files not installed: found '${config_files}'")
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

run_step("consumer" ${consumer_build}/consumer)
if(NOT step_output STREQUAL "output 0.858148935099512\nexports 0\n")
  message(FATAL_ERROR "the consumer printed:\n${step_output}")
endif()
run_step("C consumer" ${consumer_build}/consumer_c)
if(NOT step_output STREQUAL "Error: MPLRun, no network loaded\n")
  message(FATAL_ERROR "the C consumer printed:\n${step_output}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed package consumed: ok")
