# How a test is declared. Every test gets its limit, its labels and what it
# needs from one of the functions below, called in the CMake list of the
# folder that holds the test; karvon_check_tests(), at the end of the root
# list, stops the configure step when a test was declared any other way.
#
# Labels (ctest -L/-LE; the test presets in CMakePresets.json run by them):
#   unit        a GoogleTest case, or a check that takes seconds
#   threads     a unit test whose code runs on more than one thread: the
#               thread sanitizer's build runs these, as it finds nothing
#               where one thread runs alone
#   end_to_end  runs of the real Harnvik: its 30 s pause, and eight copy
#               workers each; each test takes as many slots of the resource
#               harnvik_runs as it makes runs at once, of the machine's
#               (cmake/ctest-resources.json, which the test presets name)
#   package     the install tree, a project built against it, the packages
#   fuzz        a fuzz target, run for KARVON_FUZZ_SECONDS from its seeds
#   windows     every test of the Windows build, which runs under Wine
#
# karvon_add_test(<program> SOURCES <file>... [LIBS <library>...] [TIMEOUT <s>]
#                 [THREADS])
#   A GoogleTest program; each of its cases is a test labelled unit (and
#   threads with THREADS). Limit: 60 s, 300 s under the sanitizers, or
#   TIMEOUT for every case of the program.
#
# karvon_add_check(NAME <name> COMMAND <argument>... TIMEOUT <s>
#                  [LABELS <label>...] [WORKING_DIRECTORY <folder>]
#                  [FIXTURES_REQUIRED <fixture>...] [PROPERTIES <name> <value>...])
#   Any other command as a test, labelled unit unless LABELS names others.
#
# karvon_add_end_to_end_test(NAME <name> COMMAND <argument>... [TIMEOUT <s>]
#                            [RUNS <n>] [LABELS <label>...]
#                            [FIXTURES_REQUIRED <fixture>...]
#                            [PROPERTIES <name> <value>...])
#   Runs of the real program, RUNS at once (1 unless given), labelled
#   end_to_end (and LABELS), limit 1200 s unless TIMEOUT; exit status 77
#   reports it skipped (say why on its output).
#
# karvon_add_fuzz_test(<target> SOURCES <file>... [LIBS <library>...]
#                      [INCLUDES <folder>...])
#   A fuzz target (fuzz build only) and its test, labelled fuzz: it runs from
#   its seeds in tests/fuzz/corpus/<target without _fuzz> for
#   KARVON_FUZZ_SECONDS; what it finds fails the test and is kept in
#   build/fuzz/findings/<target>, the inputs it found new in
#   build/fuzz/corpus/<target> for the next run.
#
# Arguments are passed on as they are written; an empty one is lost, so write
# an option with a value that may be empty as --option=${value}.
#
# In the Windows build every test is labelled windows and requires the
# fixture `wine`, whose tests start the Wine prefix's lasting server before
# the first test and stop it after the last: a plain ctest needs nothing
# prepared. karvon_wine_needs() adds both, for every way a test is declared.

set(KARVON_TEST_LABELS unit threads end_to_end package fuzz windows)
set(KARVON_UNIT_TEST_TIMEOUT 60)
if(NOT KARVON_SANITIZE STREQUAL "")
  # The copy worker's 10 GiB of instrumented copies take a minute.
  set(KARVON_UNIT_TEST_TIMEOUT 300)
endif()
if(KARVON_SANITIZE STREQUAL "fuzz")
  set(KARVON_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target runs as a test, in seconds")
endif()

# Under Wine, the label `windows` and the fixture `wine` added to the
# caller's lists that the two arguments name.
function(karvon_wine_needs labels_variable fixtures_variable)
  if(KARVON_UNDER_WINE)
    set(${labels_variable} ${${labels_variable}} windows PARENT_SCOPE)
    set(${fixtures_variable} ${${fixtures_variable}} wine PARENT_SCOPE)
  endif()
endfunction()

# What every declaring function does: the limit, the labels, the Wine
# fixture, and a note that the test was declared here.
function(karvon_test_properties name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "LABELS;FIXTURES_REQUIRED;PROPERTIES")
  if(NOT arg_TIMEOUT)
    message(FATAL_ERROR "Test ${name}: no TIMEOUT")
  endif()
  foreach(label IN LISTS arg_LABELS)
    if(NOT label IN_LIST KARVON_TEST_LABELS)
      message(FATAL_ERROR "Test ${name}: label ${label} is none of ${KARVON_TEST_LABELS}")
    endif()
  endforeach()
  set(fixtures ${arg_FIXTURES_REQUIRED})
  karvon_wine_needs(arg_LABELS fixtures)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS "${arg_LABELS}"
                       ${arg_PROPERTIES})
  if(fixtures)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${fixtures}")
  endif()
  set_property(GLOBAL APPEND PROPERTY KARVON_DECLARED_TESTS ${name})
endfunction()

# karvon_harness_cases(<variable> <harness.py>)
#   The cases a Python test harness declares, as it lists them for this
#   build (`--list`, and `--windows` in the Windows build): a list of
#   "name" or "name runs" lines. The harness is the one place a case is
#   named; a change of it configures again.
function(karvon_harness_cases variable harness)
  set(build "")
  if(CMAKE_CROSSCOMPILING)
    set(build --windows)
  endif()
  execute_process(COMMAND ${Python3_EXECUTABLE} ${harness} --list ${build}
    OUTPUT_VARIABLE listed OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" listed "${listed}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${harness})
  set(${variable} ${listed} PARENT_SCOPE)
endfunction()

function(karvon_add_check)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT;WORKING_DIRECTORY"
                        "COMMAND;LABELS;FIXTURES_REQUIRED;PROPERTIES")
  if(NOT arg_LABELS)
    set(arg_LABELS unit)
  endif()
  set(directory "")
  if(arg_WORKING_DIRECTORY)
    set(directory WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND} ${directory})
  karvon_test_properties(${arg_NAME} TIMEOUT ${arg_TIMEOUT} LABELS ${arg_LABELS}
    FIXTURES_REQUIRED ${arg_FIXTURES_REQUIRED} PROPERTIES ${arg_PROPERTIES})
endfunction()

function(karvon_add_end_to_end_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT;RUNS"
                        "COMMAND;LABELS;FIXTURES_REQUIRED;PROPERTIES")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 1200)
  endif()
  if(NOT DEFINED arg_RUNS)
    set(arg_RUNS 1)
  endif()
  set(runs "")
  if(arg_RUNS GREATER 0)
    set(runs RESOURCE_GROUPS harnvik_runs:${arg_RUNS})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  karvon_test_properties(${arg_NAME} TIMEOUT ${arg_TIMEOUT} LABELS end_to_end ${arg_LABELS}
    FIXTURES_REQUIRED ${arg_FIXTURES_REQUIRED}
    PROPERTIES SKIP_RETURN_CODE 77 ${runs} ${arg_PROPERTIES})
endfunction()

function(karvon_add_fuzz_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS;INCLUDES")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS})
  target_include_directories(${name} PRIVATE ${arg_INCLUDES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  string(REGEX REPLACE "_fuzz$" "" seeds ${name})
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DTARGET=$<TARGET_FILE:${name}> -DSECONDS=${KARVON_FUZZ_SECONDS}
            -DSEEDS=${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${seeds}
            -DCORPUS=${CMAKE_BINARY_DIR}/corpus/${name} -DFINDINGS=${CMAKE_BINARY_DIR}/findings/${name}
            -P ${PROJECT_SOURCE_DIR}/cmake/run_fuzz_target.cmake)
  # Loading the seeds and writing the final statistics come on top.
  math(EXPR limit "${KARVON_FUZZ_SECONDS} + 300")
  karvon_test_properties(${name} TIMEOUT ${limit} LABELS fuzz)
endfunction()

if(KARVON_BUILD_TESTS)
  enable_testing()
  if(NOT KARVON_SANITIZE STREQUAL "fuzz")
    if(CMAKE_CROSSCOMPILING)
      # Debian ships GoogleTest as source too: build it with the cross compiler.
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    else()
      find_package(GTest REQUIRED)
    endif()
    include(GoogleTest)
  endif()

  if(KARVON_UNDER_WINE)
    # The label of every test of this folder and the folders below it that
    # runs in its own folder: the GoogleTest cases (their discovery takes
    # one label only). CTest looks a folder's labels up by the test's
    # working folder, so the functions above label the tests that they
    # declare themselves.
    set(labels "")
    set(fixtures "")
    karvon_wine_needs(labels fixtures)
    set_property(DIRECTORY PROPERTY LABELS ${labels})
    # Wine's programs in the prefix start afresh, with a server that outlives
    # the tests' programs (cmake/wine-run.in says why), and end with the tests.
    add_test(NAME wine.start_server COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --start-server)
    set_tests_properties(wine.start_server PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
    add_test(NAME wine.stop_server COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --stop-server)
    set_tests_properties(wine.stop_server PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
    set_property(GLOBAL APPEND PROPERTY KARVON_DECLARED_TESTS wine.start_server wine.stop_server)
  endif()
endif()

function(karvon_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "THREADS" "TIMEOUT" "SOURCES;LIBS")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT ${KARVON_UNIT_TEST_TIMEOUT})
  endif()
  set(labels "")
  set(fixtures "")
  karvon_wine_needs(labels fixtures)
  set(wine "")
  if(fixtures)
    set(wine FIXTURES_REQUIRED ${fixtures})
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS unit ${wine})
  if(arg_THREADS)
    # Discovery passes one label on; the second is added to the cases it
    # found, by a script that CTest reads after the discovery's own.
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_threads.cmake)
    file(WRITE ${script} "if(${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"unit;threads\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# Stops the configure step at a test that no function above declared: it
# would have no limit or no label, and no Wine in the Windows build.
function(karvon_check_tests)
  get_property(declared GLOBAL PROPERTY KARVON_DECLARED_TESTS)
  set(folders ${PROJECT_SOURCE_DIR})
  while(folders)
    list(POP_FRONT folders folder)
    get_property(tests DIRECTORY ${folder} PROPERTY TESTS)
    foreach(test IN LISTS tests)
      if(NOT test IN_LIST declared)
        message(FATAL_ERROR "Test ${test} in ${folder} is declared without the functions of "
                            "cmake/testing.cmake, which give it its limit and labels")
      endif()
    endforeach()
    get_property(below DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
    list(APPEND folders ${below})
  endwhile()
endfunction()
