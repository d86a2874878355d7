# Install-time script (Windows builds): finds every DLL that the shipped
# binaries import, directly or through another DLL, from their import tables,
# and installs those that are not part of Windows beside the program. An
# import that is neither a Windows DLL nor found is an error, so a package
# never ships without a DLL it needs.
#
# Set before it runs: KARVON_BINARIES (the shipped .exe and .dll files),
# KARVON_DEPENDENCY_DIRS (where the other DLLs are), KARVON_OBJDUMP and
# KARVON_BINDIR (where the program is installed).

# DLLs that every Windows installation has.
set(system_dlls
  kernel32.dll msvcrt.dll user32.dll advapi32.dll bcrypt.dll ws2_32.dll shell32.dll
  ole32.dll oleaut32.dll gdi32.dll secur32.dll shlwapi.dll version.dll ntdll.dll
  comdlg32.dll psapi.dll crypt32.dll)

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${KARVON_OBJDUMP})

set(executables ${KARVON_BINARIES})
list(FILTER executables INCLUDE REGEX "\\.exe$")
set(libraries ${KARVON_BINARIES})
list(FILTER libraries INCLUDE REGEX "\\.dll$")
set(own_names)
foreach(binary ${KARVON_BINARIES})
  get_filename_component(name ${binary} NAME)
  string(TOLOWER ${name} name)
  list(APPEND own_names ${name})
endforeach()

file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES ${executables}
  LIBRARIES ${libraries}
  DIRECTORIES ${KARVON_DEPENDENCY_DIRS}
  PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved)

message(STATUS "Imported DLLs found: ${resolved}")
message(STATUS "Imported DLLs of Windows or of this project: ${unresolved}")
# Our own DLLs come out unresolved too: the names are looked up in lower case,
# and this file system minds case. They are installed with their targets.
foreach(dll ${unresolved})
  string(TOLOWER ${dll} name)
  list(FIND system_dlls ${name} system)
  list(FIND own_names ${name} own)
  if(system EQUAL -1 AND own EQUAL -1)
    message(FATAL_ERROR "A shipped binary imports ${dll}, which is neither a Windows DLL "
                        "nor found in ${KARVON_DEPENDENCY_DIRS}")
  endif()
endforeach()

foreach(dll ${resolved})
  get_filename_component(name ${dll} NAME)
  string(TOLOWER ${name} name)
  list(FIND own_names ${name} own)
  list(FIND system_dlls ${name} system)
  if(NOT own EQUAL -1 OR NOT system EQUAL -1)
    continue()
  endif()
  file(INSTALL ${dll} DESTINATION "${CMAKE_INSTALL_PREFIX}/${KARVON_BINDIR}")
endforeach()
