# What leaves the build tree: the CMake packages of the three library
# families, the program's documents, on Windows the FFmpeg DLLs the binaries
# import and their licences, and the CPack settings for the ZIP, DEB and TGZ.
include(CMakePackageConfigHelpers)

# One package per family: find_package(Karvon), find_package(Tovrel) and
# find_package(Selmet) give Karvon::threads, Tovrel::ffmpeg, Selmet::palvex...
string(REPLACE ";" " " KARVON_FFMPEG_MODULE_LIST "${KARVON_FFMPEG_MODULES}")
get_property(packages GLOBAL PROPERTY KARVON_PACKAGES)
list(REMOVE_DUPLICATES packages)
foreach(package ${packages})
  set(destination ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  install(EXPORT ${package}Targets NAMESPACE ${package}:: DESTINATION ${destination})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/packages/${package}Config.cmake.in
    ${PROJECT_BINARY_DIR}/cmake-packages/${package}Config.cmake INSTALL_DESTINATION ${destination})
  # All families are released together: a user asks for one version of all.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake-packages/${package}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/cmake-packages/${package}Config.cmake
                ${PROJECT_BINARY_DIR}/cmake-packages/${package}ConfigVersion.cmake
          DESTINATION ${destination})
endforeach()

if(WIN32)
  # A ZIP unpacked anywhere: documents at the top, DLLs beside the program.
  set(doc_dir .)
else()
  set(doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir})
if(NOT WIN32)
  # What Debian looks for beside a package's documents: its licence, pointing
  # at the system's copy of the GPL, and its changelog, compressed.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${doc_dir})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
                 ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${doc_dir})
endif()

# The manual pages, written as man(7) sources: gzip-compressed in
# share/man/man1 on Linux; in the Windows ZIP as plain text in man/, made
# here by groff.
set(KARVON_MANUAL_PAGES ${PROJECT_SOURCE_DIR}/stress_test/doc/Harnvik.1
                        ${PROJECT_SOURCE_DIR}/harnvik_report/doc/harnvik_report.1)
set(KARVON_MANUAL_DIR ${PROJECT_BINARY_DIR}/man)
if(WIN32)
  find_program(KARVON_GROFF groff REQUIRED)
endif()
foreach(source ${KARVON_MANUAL_PAGES})
  get_filename_component(page ${source} NAME)
  get_filename_component(title ${source} NAME_WE)
  configure_file(${source} ${KARVON_MANUAL_DIR}/${page} @ONLY)
  if(WIN32)
    execute_process(COMMAND ${KARVON_GROFF} -man -Tascii -P-c -P-b -P-u -P-o ${KARVON_MANUAL_DIR}/${page}
                    OUTPUT_FILE ${KARVON_MANUAL_DIR}/${title}.txt COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${KARVON_MANUAL_DIR}/${title}.txt DESTINATION man)
  else()
    execute_process(COMMAND gzip -9nkf ${KARVON_MANUAL_DIR}/${page} COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${KARVON_MANUAL_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

if(WIN32)
  # Every DLL the shipped binaries import, read from their import tables, that
  # is not a DLL of Windows itself: FFmpeg's, from the machine's cross build.
  get_property(shipped GLOBAL PROPERTY KARVON_SHIPPED_BINARIES)
  set(shipped_binaries "")
  foreach(target ${shipped})
    list(APPEND shipped_binaries "$<TARGET_FILE:${target}>")
  endforeach()
  install(CODE "
    set(KARVON_BINARIES \"${shipped_binaries}\")
    set(KARVON_DEPENDENCY_DIRS \"${KARVON_WINDOWS_DEPS}/bin\")
    set(KARVON_OBJDUMP \"${CMAKE_OBJDUMP}\")
    set(KARVON_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/install_runtime_dependencies.cmake)
  install(DIRECTORY ${KARVON_WINDOWS_DEPS}/share/licenses/ DESTINATION licenses
          PATTERN .complete EXCLUDE)
endif()

set(CPACK_PACKAGE_NAME ${KARVON_PRODUCT})
set(CPACK_PACKAGE_VENDOR "The Harnvik developers")
set(CPACK_PACKAGE_CONTACT "The Harnvik developers <harnvik@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "Harnvik loads the memory system with eight copy workers and records synthetic
video and audio to an MP4 file under that load, until the writer fails. The
package also carries the libraries it is built on, with their headers and CMake
packages: Karvon (threads, work, messages), Tovrel (FFmpeg lock manager) and
Selmet (MP4 writer).")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(KARVON_PACKAGE_FILE_NAME ${KARVON_PRODUCT}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(KARVON_PACKAGE_FILE_NAME ${KARVON_PRODUCT}-${PROJECT_VERSION}-linux-x86_64)
  set(CPACK_DEBIAN_PACKAGE_NAME harnvik)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # harnvik_report draws its picture with gnuplot.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gnuplot-nox)
  # What a user needs beside it to build against the libraries.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "pkg-config, cmake, libavcodec-dev, libavformat-dev, libavutil-dev, libswresample-dev")
  # The libraries in /usr/lib are registered with the dynamic linker's cache.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
  # The package's own libraries, for dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
endif()
set(CPACK_PACKAGE_FILE_NAME ${KARVON_PACKAGE_FILE_NAME})
include(CPack)
