# Shared by the scripts that drive a host program and the tool in one loop (bar_loop_test.cmake,
# backtest_host_test.cmake): a fresh WORK_DIR, and the two ways a step ends the test.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# Ends the test with `text`, leaving no work folder behind.
function(fail text)
  file(REMOVE_RECURSE "${WORK_DIR}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command and puts its standard output into `out_var`; a failure ends the test.
function(run out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    fail("${shown}\nexited with ${code}:\n${out}${err}")
  endif()
  string(REPLACE "\r" "" out "${out}")  # a Windows program's text-mode line ends
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()
