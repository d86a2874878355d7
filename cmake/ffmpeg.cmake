# Which FFmpeg the build uses, found through pkg-config as PkgConfig::FFMPEG:
# Debian's own; for the Windows build, FFmpeg and x264 cross-built by
# scripts/windows-deps; for the ffmpeg4 build, FFmpeg 4.3 built by
# scripts/ffmpeg4-deps. Each script builds its FFmpeg once per machine into a
# cache folder and prints that folder; this is the one place that runs them.

# pkg-config finds FFmpeg in this prefix only. A new FFmpeg build (other
# flags, another compiler) is a new folder: forget what pkg-config found in
# the old one.
macro(karvon_ffmpeg_from prefix)
  set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/lib/pkgconfig)
  if(NOT "${prefix}" STREQUAL "${KARVON_FFMPEG_PREFIX_FOUND}")
    unset(__pkg_config_checked_FFMPEG CACHE)
    get_cmake_property(cached CACHE_VARIABLES)
    foreach(variable ${cached})
      if(variable MATCHES "^pkgcfg_lib_FFMPEG_")
        unset(${variable} CACHE)
      endif()
    endforeach()
    set(KARVON_FFMPEG_PREFIX_FOUND ${prefix} CACHE INTERNAL "FFmpeg build in use")
  endif()
endmacro()

# Runs scripts/<script>, which builds FFmpeg and prints the folder it is in
# (into <out_var>), and takes FFmpeg from there.
macro(karvon_ffmpeg_built_by script what out_var)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/${script}
                  OUTPUT_VARIABLE ${out_var} OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "Building ${what} failed (scripts/${script} says why, above)")
  endif()
  karvon_ffmpeg_from(${${out_var}})
endmacro()

set(KARVON_FFMPEG_MODULES libavformat libavcodec libavutil libswresample)
if(KARVON_FFMPEG4)
  karvon_ffmpeg_built_by(ffmpeg4-deps "FFmpeg 4.3" KARVON_FFMPEG4_DEPS)
  set(KARVON_FFMPEG_MODULES libavformat libavcodec libavutil)
elseif(CMAKE_CROSSCOMPILING AND WIN32)
  karvon_ffmpeg_built_by(windows-deps "FFmpeg for Windows" KARVON_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KARVON_WINDOWS_DEPS})
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET ${KARVON_FFMPEG_MODULES})
