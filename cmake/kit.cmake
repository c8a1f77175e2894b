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
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/updater ${CMAKE_SOURCE_DIR}/examples/catalog DESTINATION examples)
