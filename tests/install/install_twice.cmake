# Installs the build into an empty stage folder, then again into the same
# folder: the second install must succeed and lay down the same files.
# -DBUILD_DIR=... -DSTAGE=...
file(REMOVE_RECURSE ${STAGE})
foreach(round 1 2)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "install number ${round} into ${STAGE} failed: ${result}")
  endif()
  file(STRINGS ${BUILD_DIR}/install_manifest.txt manifest_${round})
  list(SORT manifest_${round})
endforeach()
if(NOT manifest_1 STREQUAL manifest_2)
  message(FATAL_ERROR "the second install laid down other files than the first")
endif()
foreach(file ${manifest_2})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "installed ${file} is missing")
  endif()
endforeach()
list(LENGTH manifest_2 count)
message(STATUS "installed ${count} files into ${STAGE}, twice")
