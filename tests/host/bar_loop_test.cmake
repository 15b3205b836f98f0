# The loop from a host's price bars to a network the host runs, for a series with a pattern and for
# a random walk:
#   1. the host program hands the series to the library in overlapping calls, as a terminal does;
#   2. mplnet bars turns the bar log into rows, and the latest fifth of them is set aside;
#   3. mplnet new and mplnet train make a network from the earlier rows (whose own latest fifth
#      validates);
#   4. mplnet eval --outputs measures it on the rows set aside, and the host program loads it
#      (MPLLoad) and runs those rows (MPLRun): every output must be eval's, to the bit.
# On the rows set aside the accuracy must be at least 0.6 on the AR(1) series and below 0.56 on the
# random walk, which nothing in its past predicts: more there means the rows see the future.
#
#   cmake -DTOOL=<mplnet> -DHOST=<bar_loop_host> -DLIBRARY=<shared library> -DWORK_DIR=<folder>
#         [-DEMULATOR=<wine> -DHOST_PREFIX=Z:] -P bar_loop_test.cmake
#
# HOST_PREFIX turns this machine's paths into the host program's (drive Z: under Wine). Prints
# each series' figures; WORK_DIR is removed at the end, whatever the outcome.
cmake_minimum_required(VERSION 3.25)
foreach(arg TOOL HOST LIBRARY WORK_DIR)
  if(NOT ${arg})
    message(FATAL_ERROR "bar_loop_test.cmake: pass -D${arg}=...")
  endif()
endforeach()
set(bars 3000)

include(${CMAKE_CURRENT_LIST_DIR}/host_loop_support.cmake)

function(microseconds out_var)
  string(TIMESTAMP now "%s%f" UTC)
  set(${out_var} ${now} PARENT_SCOPE)
endfunction()

# Microseconds `from` .. `to` as seconds with two decimals.
function(seconds out_var from to)
  math(EXPR centi "(${to} - ${from} + 5000) / 10000")
  math(EXPR whole "${centi} / 100")
  math(EXPR part "${centi} % 100")
  string(LENGTH "${part}" digits)
  if(digits EQUAL 1)
    set(part "0${part}")
  endif()
  set(${out_var} "${whole}.${part}" PARENT_SCOPE)
endfunction()

set(host ${EMULATOR} ${HOST})
set(library "${HOST_PREFIX}${LIBRARY}")
foreach(series ar1 walk)
  set(dir "${WORK_DIR}/${series}")
  file(MAKE_DIRECTORY "${dir}")
  microseconds(started)
  run(ignored ${host} feed ${series} ${bars} "${HOST_PREFIX}${dir}/bars.log" "${library}")
  run(ignored "${TOOL}" bars "${dir}/bars.log" -o "${dir}/rows.txt")

  # Rows are in time order: the latest fifth is set aside, unseen by training and its validation.
  file(STRINGS "${dir}/rows.txt" rows REGEX "^[^#]")
  list(LENGTH rows count)
  math(EXPR held "${count} / 5")
  math(EXPR earlier "${count} - ${held}")
  list(SUBLIST rows 0 ${earlier} past)
  list(SUBLIST rows ${earlier} -1 latest)
  list(JOIN past "\n" text)
  file(WRITE "${dir}/past.txt" "${text}\n")
  list(JOIN latest "\n" text)
  file(WRITE "${dir}/latest.txt" "${text}\n")

  run(ignored "${TOOL}" new 10 4 1 --seed 1 -o "${dir}/start.ini")
  microseconds(training)
  run(report "${TOOL}" train "${dir}/start.ini" "${dir}/past.txt" -o "${dir}/net.ini" --epochs 200)
  microseconds(trained)
  run(evaluated "${TOOL}" eval "${dir}/net.ini" "${dir}/latest.txt" --outputs)
  run(hosted ${host} run "${library}" "${HOST_PREFIX}${dir}/net.ini"
      "${HOST_PREFIX}${dir}/latest.txt")
  microseconds(finished)

  if(NOT evaluated MATCHES "^rows: ([0-9]+)\nmse: [^\n]*\naccuracy: ([^\n]*)\n(.*)$")
    fail("${series}: mplnet eval printed\n${evaluated}")
  endif()
  set(evaluated_rows ${CMAKE_MATCH_1})
  set(accuracy ${CMAKE_MATCH_2})
  set(outputs "${CMAKE_MATCH_3}")
  string(REGEX MATCHALL "\n" line_ends "${outputs}")
  list(LENGTH line_ends output_lines)
  if(held EQUAL 0 OR NOT evaluated_rows EQUAL held OR NOT output_lines EQUAL held)
    fail("${series}: ${held} rows set aside, mplnet eval ran ${evaluated_rows} and printed "
         "${output_lines} output lines")
  endif()
  if(NOT hosted STREQUAL outputs)
    string(REPLACE "\n" ";" want "${outputs}")
    string(REPLACE "\n" ";" got "${hosted}")
    math(EXPR last "${held} - 1")
    foreach(i RANGE ${last})
      list(GET want ${i} w)
      list(LENGTH got got_lines)
      set(g "(no line)")
      if(i LESS got_lines)
        list(GET got ${i} g)
      endif()
      if(NOT w STREQUAL g)
        math(EXPR row "${earlier} + ${i} + 1")
        fail("${series}: row ${row}: the host's MPLRun gave ${g}, mplnet eval ${w}")
      endif()
    endforeach()
    fail("${series}: the host printed more than mplnet eval's ${held} lines:\n${hosted}")
  endif()

  string(REGEX MATCH "stopped after ([0-9]+) epochs" ignored "${report}")
  set(epochs ${CMAKE_MATCH_1})
  string(REGEX MATCH "kept the network after ([0-9]+) epochs" ignored "${report}")
  set(kept ${CMAKE_MATCH_1})
  seconds(total ${started} ${finished})
  seconds(training_time ${training} ${trained})
  message(STATUS "${series}: ${bars} bars, ${count} rows; trained on the first ${earlier}, "
                 "stopped after ${epochs} epochs and kept epoch ${kept} (${training_time} s); "
                 "the latest ${held} rows: accuracy ${accuracy}, each output the host's to the "
                 "bit; ${total} s in all")
  if(series STREQUAL "ar1" AND accuracy LESS 0.6)
    fail("ar1: accuracy ${accuracy} on the latest rows, below 0.6: the pattern was not learnt")
  endif()
  if(series STREQUAL "walk" AND NOT accuracy LESS 0.56)
    fail("walk: accuracy ${accuracy} on the latest rows of a random walk, 0.56 or more: the "
         "rows see the future")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
