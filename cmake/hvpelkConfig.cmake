# find_package(hvpelk) in an unpacked release kit: the imported target hvpelk::hvpelk (bin/hvpelk.dll, its
# import library and include/). Paths are taken relative to this file, so the kit works wherever it lies.
get_filename_component(_hvpelk_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET hvpelk::hvpelk)
  add_library(hvpelk::hvpelk SHARED IMPORTED)
  # MinGW's linker takes libhvpelk.dll.a; the MSVC toolchains (cl, clang-cl, clang for *-windows-msvc) take
  # hvpelk.lib.
  if(MINGW)
    set(_hvpelk_implib "${_hvpelk_root}/lib/libhvpelk.dll.a")
  else()
    set(_hvpelk_implib "${_hvpelk_root}/lib/hvpelk.lib")
  endif()
  set_target_properties(hvpelk::hvpelk PROPERTIES
    IMPORTED_LOCATION "${_hvpelk_root}/bin/hvpelk.dll"
    IMPORTED_IMPLIB "${_hvpelk_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_hvpelk_root}/include"
    # Text results come as BSTRs in VARIANTs: callers free them with VariantClear.
    INTERFACE_LINK_LIBRARIES oleaut32)
  unset(_hvpelk_implib)
endif()
unset(_hvpelk_root)
