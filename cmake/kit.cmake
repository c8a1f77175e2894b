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
add_dependencies(hvpelk_msvc_implib hvpelk_def)

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
# The copied part lies between two markers of README.md, so that its headings can change.
set(hvpelk_begin "<!-- kit:begin reference -->")
set(hvpelk_end "<!-- kit:end reference -->")
string(FIND "${hvpelk_readme}" "${hvpelk_begin}\n" hvpelk_reference_start)
string(FIND "${hvpelk_readme}" "${hvpelk_end}\n" hvpelk_reference_end)
if(hvpelk_reference_start LESS 0 OR hvpelk_reference_end LESS hvpelk_reference_start)
  message(FATAL_ERROR "README.md lacks the lines ${hvpelk_begin} and ${hvpelk_end} around what the kit copies")
endif()
string(LENGTH "${hvpelk_begin}\n" hvpelk_begin_length)
math(EXPR hvpelk_reference_start "${hvpelk_reference_start} + ${hvpelk_begin_length}")
math(EXPR hvpelk_reference_length "${hvpelk_reference_end} - ${hvpelk_reference_start}")
string(SUBSTRING "${hvpelk_readme}" ${hvpelk_reference_start} ${hvpelk_reference_length} HVPELK_README_REFERENCE)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kit-README.md.in ${CMAKE_BINARY_DIR}/kit/README.md @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kit/README.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/updater ${CMAKE_SOURCE_DIR}/examples/catalog
                  ${CMAKE_SOURCE_DIR}/examples/nsis DESTINATION examples)

# The NSIS include: its status and flag defines and a macro per export (with its System::Call signature) are
# made from the public header's tables by cmake/exports.py, as the DLL's export list is, so the two never
# drift apart.
set(hvpelk_nsh ${CMAKE_BINARY_DIR}/include/nsis/hvpelk.nsh)
set(hvpelk_nsh_template ${CMAKE_SOURCE_DIR}/include/nsis/hvpelk.nsh.in)
add_custom_command(OUTPUT ${hvpelk_nsh}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/include/nsis
  COMMAND Python3::Interpreter ${HVPELK_EXPORTS_SCRIPT} nsis ${HVPELK_EXPORTS_HEADER} ${hvpelk_nsh_template}
          ${PROJECT_VERSION} ${hvpelk_nsh}
  DEPENDS ${HVPELK_EXPORTS_SCRIPT} ${HVPELK_EXPORTS_HEADER} ${hvpelk_nsh_template}
  COMMENT "NSIS include hvpelk.nsh")
add_custom_target(hvpelk_nsh ALL DEPENDS ${hvpelk_nsh})
install(FILES ${hvpelk_nsh} DESTINATION include/nsis)
