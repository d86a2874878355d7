# What is built, and how: the options, the language and visibility rules,
# where the binaries land, the warnings, the sanitizers and the Windows
# flags.

option(KARVON_BUILD_TESTS "Build the tests (in the fuzz build: the fuzz targets)" ON)
option(KARVON_BUILD_BENCH "Build the benchmarks (native builds without sanitizers)" ON)
option(KARVON_BUILD_REPORT "Build harnvik_report (needs nlohmann-json and CLI11)" ON)
set(KARVON_SANITIZE "" CACHE STRING "address, thread or fuzz")
set_property(CACHE KARVON_SANITIZE PROPERTY STRINGS "" address thread fuzz)
# The registration library and its tests alone, against FFmpeg 4.3 (the last
# generation with the lock-manager registration), built from Debian 11's
# sources by scripts/ffmpeg4-deps.
option(KARVON_FFMPEG4 "Build only the registration library and its tests, against FFmpeg 4.3" OFF)

if(KARVON_BUILD_TESTS AND NOT KARVON_BUILD_REPORT AND NOT KARVON_FFMPEG4)
  message(FATAL_ERROR "The tests and the fuzz targets use harnvik_report: "
                      "set KARVON_BUILD_REPORT=ON, or KARVON_BUILD_TESTS=OFF")
endif()

# The compiler cache, where it is installed: a build in a fresh clone on the
# same machine (CI's) takes what an earlier build compiled. Paths below the
# source folder count relative to it, and the folder a compilation runs in
# is not part of its key, so that another clone finds the same entries.
option(KARVON_CCACHE "Compile through ccache where it is installed" ON)
find_program(KARVON_CCACHE_PROGRAM ccache)
if(KARVON_CCACHE AND KARVON_CCACHE_PROGRAM)
  set(launcher env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${KARVON_CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
# Libraries are named family.component.x64 with no "lib" prefix.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
# Programs and libraries side by side, so Windows finds the DLLs beside the .exe.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
if(NOT WIN32)
  set(CMAKE_BUILD_RPATH "${CMAKE_BINARY_DIR}/bin")
endif()
# Documents under the Debian package's name.
set(CMAKE_INSTALL_DOCDIR share/doc/harnvik CACHE PATH "Documentation")
include(GNUInstallDirs)

add_compile_options(-Wall -Wextra -Werror)
if(WIN32)
  enable_language(RC)
  # No libgcc, libstdc++ or libwinpthread DLLs to ship.
  add_link_options(-static)
  add_compile_definitions(UNICODE _UNICODE)
endif()

if(KARVON_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KARVON_SANITIZE STREQUAL "fuzz")
  # Coverage for libFuzzer everywhere; the fuzz targets link its driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KARVON_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
