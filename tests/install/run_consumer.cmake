# Runs the consumer (under Wine with only the installed bin/ on the DLL path)
# and checks with ffprobe the two-second file it records.
# -DPROGRAM=... -DWORK_DIR=... -DFFPROBE=... [-DRUNNER=... -DDLL_PATH=...]
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(RUNNER)
  set(ENV{KARVON_WINEPATH} ${DLL_PATH})
endif()
unset(ENV{LD_LIBRARY_PATH})
execute_process(COMMAND ${RUNNER} ${PROGRAM} consumer.m4v WORKING_DIRECTORY ${WORK_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
message(STATUS "${out}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the consumer failed: ${result}")
endif()
execute_process(COMMAND ${FFPROBE} -v error -count_frames -show_entries
                        stream=codec_type,nb_read_frames:format=duration -of csv=p=0
                        consumer.m4v
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result
                OUTPUT_VARIABLE probe ERROR_VARIABLE errors)
message(STATUS "ffprobe:\n${probe}${errors}")
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "ffprobe cannot read the consumer's file")
endif()
if(NOT probe MATCHES "video,50\n" OR NOT probe MATCHES "audio,9[0-9]\n" OR
   NOT probe MATCHES "\n2\\.0[0-9]*")
  message(FATAL_ERROR "expected 2 s with 50 video frames and about 94 AAC frames")
endif()
