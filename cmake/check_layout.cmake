# Checks which folder includes which (README, "Layout") and fails when an include breaks a rule.
#   cmake -DSOURCE_DIR=<project folder> -P cmake/check_layout.cmake
# The build runs it on every build (target mplnet_layout_check). Includes are read as written:
# "host/x.h" and "../host/x.h" both name host/; a name without a folder stays in its own.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check_layout.cmake: pass -DSOURCE_DIR=<project folder>")
endif()
get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)

# <folder>:<folders it must not include from>; a folder that does not exist (yet) is passed over.
set(rules
  "include/mplnet:engine,persistence,host,datasets,training,trading,interop,tools"
  "engine:persistence,host,datasets,training,trading,interop,tools"
  "persistence:host,datasets,training,trading,interop,tools"
  "host:datasets,training,trading,interop,tools"
  "datasets:host,training,trading,interop,tools"
  "training:host,trading,interop,tools"
  "trading:host,interop,tools"
  "interop:host,datasets,training,trading,tools"
)

set(broken 0)
foreach(rule IN LISTS rules)
  string(REGEX REPLACE ":.*" "" folder "${rule}")
  string(REGEX REPLACE ".*:" "" forbidden "${rule}")
  string(REPLACE "," ", " shown "${forbidden}")
  string(REPLACE "," ";" forbidden "${forbidden}")
  if(NOT IS_DIRECTORY "${SOURCE_DIR}/${folder}")
    continue()
  endif()
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}"
       "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.hpp" "${SOURCE_DIR}/${folder}/*.c"
       "${SOURCE_DIR}/${folder}/*.cc" "${SOURCE_DIR}/${folder}/*.cpp")
  list(SORT files)
  foreach(file IN LISTS files)
    file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS includes)
      if(NOT line MATCHES "include[ \t]*[\"<]([^\">]*)")
        continue()
      endif()
      set(included "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "^(\\./|\\.\\./)+" "" top "${included}")
      string(REGEX REPLACE "/.*" "" top "${top}")
      if(top IN_LIST forbidden AND included MATCHES "/")
        message(SEND_ERROR
          "layout: ${file} includes \"${included}\": ${folder}/ includes nothing from ${shown}")
        math(EXPR broken "${broken} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken GREATER 0)
  message(FATAL_ERROR "layout: ${broken} includes break the rules (README, \"Layout\")")
endif()
