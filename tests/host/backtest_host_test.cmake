# The host agrees with mplnet backtest: a host program hands an AR(1) series to the library through
# MPLSetData; the tool makes rows from the bar log, trains a network (which keeps its recipe) and
# backtests it, writing every row's position; then the host program, holding its own bars, builds
# each row's inputs from them as a host does on each closed bar, runs them through MPLRun and must
# decide the very same positions. It also saves the network through MPLSave, which must keep the
# recipe section it knows nothing about.
#
#   cmake -DTOOL=<mplnet> -DHOST=<bar_loop_host> -DLIBRARY=<shared library> -DWORK_DIR=<folder>
#         [-DEMULATOR=<wine> -DHOST_PREFIX=Z:] -P backtest_host_test.cmake
#
# HOST_PREFIX turns this machine's paths into the host program's (drive Z: under Wine). WORK_DIR is
# removed at the end, whatever the outcome.
cmake_minimum_required(VERSION 3.25)
foreach(arg TOOL HOST LIBRARY WORK_DIR)
  if(NOT ${arg})
    message(FATAL_ERROR "backtest_host_test.cmake: pass -D${arg}=...")
  endif()
endforeach()
set(bars 3000)
set(window 10)

include(${CMAKE_CURRENT_LIST_DIR}/host_loop_support.cmake)

set(host ${EMULATOR} ${HOST})
set(library "${HOST_PREFIX}${LIBRARY}")
set(dir "${WORK_DIR}")
run(ignored ${host} feed ar1 ${bars} "${HOST_PREFIX}${dir}/bars.log" "${library}")
run(ignored "${TOOL}" bars "${dir}/bars.log" -o "${dir}/rows.txt" --window ${window})
run(ignored "${TOOL}" new ${window} 4 1 --seed 1 -o "${dir}/start.ini")
run(ignored "${TOOL}" train "${dir}/start.ini" "${dir}/rows.txt" -o "${dir}/net.ini" --epochs 60)
run(report "${TOOL}" backtest "${dir}/net.ini" "${dir}/bars.log" --cost 2e-4
    --bars-out "${dir}/lines.csv")
if(NOT report MATCHES "\nbars: 2978\n|^bars: 2978\n")
  fail("mplnet backtest printed\n${report}")
endif()
run(agreed ${host} positions ar1 ${bars} ${window} "${library}" "${HOST_PREFIX}${dir}/net.ini"
    "${HOST_PREFIX}${dir}/lines.csv")
if(NOT agreed MATCHES "^positions: 2979 rows, every position mplnet backtest's")
  fail("the host program printed\n${agreed}")
endif()
string(STRIP "${agreed}" agreed)
message(STATUS "${agreed}")
file(REMOVE_RECURSE "${WORK_DIR}")
