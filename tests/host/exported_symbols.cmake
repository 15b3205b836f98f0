# Holds the names the shared library exports to the checked-in list: the five exports and the public
# classes and functions, none of the engine's machinery, none of the C++ runtime's templates. Run
# with cmake -P and:
#   NM        the nm program
#   LIBRARY   the shared library
#   EXPECTED  the list, one demangled name a line, sorted
# After a deliberate change to the public interface, the message shows the lines to add or remove.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
  RESULT_VARIABLE rc OUTPUT_VARIABLE listing ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed (${rc}): ${err}")
endif()

# Each line is "<address> <type> <name>"; the name is what is compared (a weak or strong
# definition of the same name is the same export).
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES exported)
list(SORT exported)

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")  # lines starting with # are comments
list(SORT expected)

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  list(JOIN unexpected "\n  " unexpected_text)
  list(JOIN missing "\n  " missing_text)
  message(FATAL_ERROR "${LIBRARY} exports what ${EXPECTED} does not list:\n  ${unexpected_text}\n"
                      "and lacks what it lists:\n  ${missing_text}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exported names, as listed")
