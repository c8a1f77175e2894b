# The release kit: what `cmake --install` lays out for installer authors, and scripts/package zips with the
# debug symbols split off and the license texts added. The DLL, its MinGW import library and exports.h are
# installed by src/api.
include(CMakePackageConfigHelpers)

# The import library for MSVC's linker, made from the .def the DLL is linked with (HVPELK_DEF, which
# src/api generates from the public header's table). llvm-dlltool writes the short import
# format with the i386 names decorated the MSVC way (_PelkOpen, __imp__PelkOpen) and the imported names
# undecorated, and marks its objects safe for /SAFESEH; MinGW's dlltool writes objects that an x86 link
# with /SAFESEH rejects.
find_program(HVPELK_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(hvpelk_machine i386:x86-64)
else()
  set(hvpelk_machine i386)
endif()
set(HVPELK_MSVC_IMPLIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/hvpelk.lib)
add_custom_command(OUTPUT ${HVPELK_MSVC_IMPLIB}
  COMMAND ${HVPELK_LLVM_DLLTOOL} -m ${hvpelk_machine} -d ${HVPELK_DEF} -l ${HVPELK_MSVC_IMPLIB}
  DEPENDS ${HVPELK_DEF}
  COMMENT "MSVC import library hvpelk.lib")
add_custom_target(hvpelk_msvc_implib ALL DEPENDS ${HVPELK_MSVC_IMPLIB})

# find_package(hvpelk): the config file finds everything relative to itself; the version file also
# rejects a kit built for the other pointer size.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/hvpelkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)

install(FILES ${CMAKE_SOURCE_DIR}/include/hvpelk/loader.h ${CMAKE_BINARY_DIR}/include/hvpelk/version.h
  DESTINATION include/hvpelk)
install(FILES ${HVPELK_DEF} ${HVPELK_MSVC_IMPLIB} DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/hvpelkConfig.cmake ${CMAKE_BINARY_DIR}/hvpelkConfigVersion.cmake
  DESTINATION lib/cmake/hvpelk)
if(TARGET pelk AND TARGET hvservice)
  install(TARGETS pelk hvservice RUNTIME DESTINATION bin)
endif()
# The kit's own README: its text, with the configuration and the API reference (through the status codes)
# copied from the repository's README, so the reference exists once.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(READ ${CMAKE_SOURCE_DIR}/README.md hvpelk_readme)
string(FIND "${hvpelk_readme}" "## Configuring the library\n" hvpelk_reference_start)
string(FIND "${hvpelk_readme}" "## Downloads under faults\n" hvpelk_reference_end)
if(hvpelk_reference_start LESS 0 OR hvpelk_reference_end LESS hvpelk_reference_start)
  message(FATAL_ERROR "README.md lacks the sections the kit's README copies")
endif()
math(EXPR hvpelk_reference_length "${hvpelk_reference_end} - ${hvpelk_reference_start}")
string(SUBSTRING "${hvpelk_readme}" ${hvpelk_reference_start} ${hvpelk_reference_length} HVPELK_README_REFERENCE)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kit-README.md.in ${CMAKE_BINARY_DIR}/kit/README.md @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kit/README.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/updater ${CMAKE_SOURCE_DIR}/examples/catalog
                  ${CMAKE_SOURCE_DIR}/examples/nsis DESTINATION examples)

# The NSIS include: its status and flag defines are made from the public header, as the DLL's export list is,
# so the two never drift apart.
set(hvpelk_exports_header ${CMAKE_SOURCE_DIR}/include/hvpelk/exports.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${hvpelk_exports_header})
file(READ ${hvpelk_exports_header} hvpelk_header)
# A semicolon would split CMake's lists: it stands as "%3B" until a meaning is written out.
string(REPLACE ";" "%3B" hvpelk_header "${hvpelk_header}")
string(REGEX MATCHALL "X\\(PELK_[A-Z0-9_]+, 0x[0-9a-fA-F]+, \"[^\"]*\"\\)" hvpelk_rows "${hvpelk_header}")
set(HVPELK_NSIS_STATUS_DEFINES "")
set(HVPELK_NSIS_STATUS_NAMES "")
foreach(row IN LISTS hvpelk_rows)
  string(REGEX REPLACE "^X\\(([A-Z0-9_]+), .*" "\\1" name "${row}")
  string(REGEX REPLACE "^X\\([A-Z0-9_]+, (0x[0-9a-fA-F]+), .*" "\\1" value "${row}")
  string(REGEX REPLACE "^X\\([A-Z0-9_]+, 0x[0-9a-fA-F]+, \"([^\"]*)\"\\)$" "\\1" meaning "${row}")
  string(REPLACE "%3B" ";" meaning "${meaning}")
  string(TOUPPER "${value}" value)
  string(REPLACE "0X" "0x" value "${value}")
  string(APPEND HVPELK_NSIS_STATUS_DEFINES "!define ${name} ${value} ; ${meaning}\n")
  string(APPEND HVPELK_NSIS_STATUS_NAMES "  StrCmp $0 ${value} 0 +2\n  StrCpy $1 ${name}\n")
endforeach()
string(REGEX MATCHALL "#define PELK_FLAG_[A-Z_]+ +0x[0-9a-fA-F]+ +/\\* [^*]* \\*/" hvpelk_flags "${hvpelk_header}")
set(HVPELK_NSIS_FLAG_DEFINES "")
foreach(flag IN LISTS hvpelk_flags)
  string(REGEX REPLACE "^#define (PELK_FLAG_[A-Z_]+) +(0x[0-9a-fA-F]+) +/\\* ([^*]*) \\*/$" "!define \\1 \\2 ; \\3"
         line "${flag}")
  string(APPEND HVPELK_NSIS_FLAG_DEFINES "${line}\n")
endforeach()
list(LENGTH hvpelk_rows hvpelk_status_count)
if(hvpelk_status_count LESS 50 OR NOT HVPELK_NSIS_FLAG_DEFINES MATCHES "PELK_FLAG_VERIFY_CHECKSUM")
  message(FATAL_ERROR "the status or flag table of exports.h was not found for hvpelk.nsh")
endif()
configure_file(${CMAKE_SOURCE_DIR}/include/nsis/hvpelk.nsh.in ${CMAKE_BINARY_DIR}/include/nsis/hvpelk.nsh @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/include/nsis/hvpelk.nsh DESTINATION include/nsis)
