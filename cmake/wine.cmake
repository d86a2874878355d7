# The Windows build's programs run here under Wine, through two runners that
# cmake/wine-run.in makes: wine-run, the tests' runner and the build's
# CMAKE_CROSSCOMPILING_EMULATOR, with the FFmpeg DLLs on the path; and
# wine-run-bare, a Wine of its own with nothing on the path, for what must
# run from a package. The tests' fixtures start and stop their servers
# (cmake/testing.cmake, tests/install).
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(KARVON_UNDER_WINE ON)
  # The prefix's server stays this long after its last program ends.
  set(KARVON_WINESERVER_LINGER 120)
  foreach(runner wine-run wine-run-bare)
    if(runner STREQUAL "wine-run")
      set(KARVON_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
      set(KARVON_WINEPATH_DEFAULT ${KARVON_WINDOWS_DEPS}/bin)
    else()
      set(KARVON_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix-bare)
      set(KARVON_WINEPATH_DEFAULT "")
    endif()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/${runner} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
else()
  set(KARVON_UNDER_WINE OFF)
endif()
