# One way to build, version and install every shared library of the project.
#
# karvon_library(<target>
#   OUTPUT_NAME <file name without extension>      e.g. Karvon.Work.x64
#   PACKAGE <family>                               CMake package it is installed into
#   EXPORT_NAME <component>                        <family>::<component> for users
#   DESCRIPTION <text>                             file description (Windows)
#   EXPORT_HEADER <path below include/>            generated export macro header
#   EXPORT_MACRO <name>                            macro that marks the exports
#   [TEST_ONLY]                                    built for the tests, never installed
#   SOURCES <files>...)
#
# Public headers are the library's include/ folder. Symbols are hidden unless
# the export macro marks them. On Windows every DLL carries a version resource.
include_guard(GLOBAL)
include(GenerateExportHeader)
include(GNUInstallDirs)

function(karvon_export_header target path macro)
  generate_export_header(${target}
    EXPORT_MACRO_NAME ${macro}
    EXPORT_FILE_NAME ${CMAKE_CURRENT_BINARY_DIR}/generated/${path})
  target_sources(${target} PUBLIC FILE_SET HEADERS
    BASE_DIRS ${CMAKE_CURRENT_BINARY_DIR}/generated
    FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/${path})
endfunction()

# Adds a VERSIONINFO resource to a Windows binary: file and product version,
# product name and a description of the file.
function(karvon_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(KARVON_FILE_DESCRIPTION "${description}")
  set(KARVON_INTERNAL_NAME "${name}")
  set(KARVON_PRODUCT_NAME "${KARVON_PRODUCT}")
  if(type STREQUAL "EXECUTABLE")
    set(KARVON_FILE_TYPE "VFT_APP")
    set(KARVON_FILE_NAME "${name}${CMAKE_EXECUTABLE_SUFFIX}")
  else()
    set(KARVON_FILE_TYPE "VFT_DLL")
    set(KARVON_FILE_NAME "${name}${CMAKE_SHARED_LIBRARY_SUFFIX}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()

function(karvon_library target)
  cmake_parse_arguments(arg "TEST_ONLY"
    "OUTPUT_NAME;PACKAGE;EXPORT_NAME;DESCRIPTION;EXPORT_HEADER;EXPORT_MACRO" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${arg_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  if(arg_EXPORT_HEADER)
    karvon_export_header(${target} ${arg_EXPORT_HEADER} ${arg_EXPORT_MACRO})
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h)
    target_sources(${target} PUBLIC FILE_SET HEADERS
      BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR}/include FILES ${headers})
  endif()
  karvon_version_resource(${target} "${arg_DESCRIPTION}")
  if(arg_TEST_ONLY)
    return()
  endif()
  # Installed libraries find each other in their own folder.
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${arg_EXPORT_NAME} INSTALL_RPATH "$ORIGIN")
  add_library(${arg_PACKAGE}::${arg_EXPORT_NAME} ALIAS ${target})
  karvon_install(${target} ${arg_PACKAGE})
endfunction()

# Installs a target into a family's CMake package: DLLs beside the program,
# import libraries and shared objects in lib/, headers in include/.
function(karvon_install target package)
  install(TARGETS ${target} EXPORT ${package}Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set_property(GLOBAL APPEND PROPERTY KARVON_PACKAGES ${package})
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set_property(GLOBAL APPEND PROPERTY KARVON_SHIPPED_BINARIES ${target})
  endif()
endfunction()

# Installs a program into bin/.
function(karvon_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY KARVON_SHIPPED_BINARIES ${target})
endfunction()
