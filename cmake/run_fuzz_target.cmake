# Runs one fuzz target as a test (cmake/testing.cmake declares it):
#   cmake -DTARGET=<program> -DSECONDS=<s> -DSEEDS=<folder> -DCORPUS=<folder>
#         -DFINDINGS=<folder> -P run_fuzz_target.cmake
# The target runs for SECONDS from the inputs it found new before (CORPUS,
# where it adds more) and its seeds. Each input may take 2 s and the target
# 1 GiB; a crash, a leak, a time-out or running out of memory fails the test,
# and the input that did it is kept in FINDINGS (add it to the seeds once it
# is mended). FINDINGS holds only what this run found.
foreach(variable TARGET SECONDS SEEDS CORPUS FINDINGS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzz_target.cmake: -D${variable}=... is missing")
  endif()
endforeach()
file(REMOVE_RECURSE ${FINDINGS})
file(MAKE_DIRECTORY ${FINDINGS} ${CORPUS})

# A small quarantine keeps the address sanitizer's own memory well below the
# target's limit.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=quarantine_size_mb=64:detect_leaks=1
          UBSAN_OPTIONS=print_stacktrace=1
          ${TARGET} -max_total_time=${SECONDS} -timeout=2 -rss_limit_mb=1024 -print_final_stats=1
          -artifact_prefix=${FINDINGS}/ ${CORPUS} ${SEEDS}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)

file(GLOB found ${FINDINGS}/*)
# A target that found something left an input behind, and did not say Done.
if(NOT status EQUAL 0 OR found OR NOT out MATCHES "\nDone [0-9]+ runs")
  string(LENGTH "${out}" length)
  if(length GREATER 8000)
    math(EXPR from "${length} - 8000")
    string(SUBSTRING "${out}" ${from} -1 out)
  endif()
  message("${out}")
  message(FATAL_ERROR "${TARGET} failed (exit ${status}); kept in ${FINDINGS}: ${found}")
endif()

# What it did, from libFuzzer's final statistics and its last coverage line.
set(summary "")
foreach(stat number_of_executed_units average_exec_per_sec new_units_added)
  if(out MATCHES "stat::${stat}: *([0-9]+)")
    string(APPEND summary " ${stat} ${CMAKE_MATCH_1}")
  endif()
endforeach()
string(REGEX MATCHALL "cov: [0-9]+ ft: [0-9]+" coverage "${out}")
list(POP_BACK coverage last)
message("${TARGET} ran ${SECONDS} s without a finding:${summary}; ${last}")
