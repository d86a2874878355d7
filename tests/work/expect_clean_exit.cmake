# Runs a program (under the build's emulator, if any) and requires exit
# status 0 and every expected line in its output.
# -DPROGRAM=... [-DRUNNER=...] -DEXPECT=line|line...
execute_process(COMMAND ${RUNNER} ${PROGRAM} RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 60)
message(STATUS "exit ${status}:\n${out}")
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${PROGRAM} exited with ${status}, not 0")
endif()
string(REPLACE "|" ";" lines "${EXPECT}")
foreach(line ${lines})
  string(FIND "${out}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} did not print '${line}'")
  endif()
endforeach()
