# Configures and builds the consumer project against an installed tree, the
# way a user's project would find it: through CMAKE_PREFIX_PATH only.
# -DSOURCE=... -DBINARY=... -DPREFIX=... -DGENERATOR=... -DCXX=...
# [-DTOOLCHAIN=... -DDEPS=...] for the Windows cross build
# [-DEXPECT_FAILURE=text] the configure step must fail and say this
file(REMOVE_RECURSE ${BINARY})
set(options -G ${GENERATOR} -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if(TOOLCHAIN)
  # A cross build finds packages below its roots: the stage and the FFmpeg build.
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} "-DCMAKE_FIND_ROOT_PATH=${PREFIX}\;${DEPS}")
  set(ENV{PKG_CONFIG_LIBDIR} ${DEPS}/lib/pkgconfig)
else()
  list(APPEND options -DCMAKE_CXX_COMPILER=${CXX})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} ${options}
                        -DCMAKE_PREFIX_PATH=${PREFIX}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(DEFINED EXPECT_FAILURE)
  string(FIND "${out}" "${EXPECT_FAILURE}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "configuring without the package should fail with "
                        "'${EXPECT_FAILURE}'; it gave ${result}:\n${out}")
  endif()
  message(STATUS "configure failed as it should:\n${out}")
  return()
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the consumer failed:\n${out}")
endif()
