# Runs tools/embed_help.cmake on small help texts of every form and checks the header it makes, or
# that it stops, naming the file.
#   cmake -DSCRIPT=<tools/embed_help.cmake> -DWORK_DIR=<a folder of its own> -P embed_help_test.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK_DIR}")
set(failures 0)

# Embeds `text` as help/<name>.txt; `expected` is the constant the header must hold, or REFUSED.
function(check case name text expected)
  set(dir "${WORK_DIR}/${case}")
  file(WRITE "${dir}/help/${name}.txt" "${text}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DHELP_DIR=${dir}/help -DOUTPUT=${dir}/texts.h
                          -P ${SCRIPT}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(expected STREQUAL "REFUSED")
    if(rc EQUAL 0 OR NOT err MATCHES "${name}\\.txt")
      message(SEND_ERROR "${case}: not refused, or the file not named: ${err}")
    endif()
    return()
  endif()
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "${case}: refused: ${err}")
    return()
  endif()
  file(READ "${dir}/texts.h" header)
  string(FIND "${header}" "${expected}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${case}: expected\n${expected}\nin\n${header}")
  endif()
endfunction()

# Lines of a paragraph join with one blank; an empty line stays; a backslash ends its line and
# the next keeps its indent; a Windows checkout's CR LF reads the same.
set(joined "inline constexpr std::string_view kWalkforward = R\"help(One line and its rest.\n\nA {limit}, then:\n  mplnet x | y \\ z)help\";")
check(joins walkforward "One line\nand its rest.\n\nA {limit}, then:\\\n  mplnet x | y \\ z\n" "${joined}")
check(crlf walkforward "One line\r\nand its rest.\r\n\r\nA {limit}, then:\\\r\n  mplnet x | y \\ z\r\n" "${joined}")
check(trailing_blank run "a line \nends in a blank\n" REFUSED)
check(two_empty_lines run "one\n\n\ntwo\n" REFUSED)
check(empty run "\n" REFUSED)
check(raw_string_end run "holds )help\" inside\n" REFUSED)
check(bad_name Walk-Forward "text\n" REFUSED)

file(REMOVE_RECURSE "${WORK_DIR}")
