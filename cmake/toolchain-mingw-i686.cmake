# Windows 32-bit x86 DLL, cross-built with MinGW-w64 (posix thread model, so the
# C++ threading library is complete; it is linked in statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Third-party libraries cross-built by dev.sh (libyaml) live under build/ of
# the source tree, shared by every build directory of that tree.
cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE OUTPUT_VARIABLE _kiv_source_dir)
cmake_path(GET _kiv_source_dir PARENT_PATH _kiv_source_dir)
set(KIV_MINGW_PREFIX "${_kiv_source_dir}/build/third_party/mingw-i686" CACHE PATH "Cross-built third-party prefix")
# try_compile projects read this file again, in the same process, with a cache
# of their own: hand them the prefix so that they set the same environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_MINGW_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${KIV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the cross-built .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${KIV_MINGW_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under Wine, in a prefix of their own under build/ so that a
# run never depends on (or changes) the user's ~/.wine.
find_program(KIV_WINE NAMES wine)
if(KIV_WINE)
  set(KIV_WINEPREFIX "${_kiv_source_dir}/build/wine-prefix" CACHE PATH "Wine prefix the tests run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEPREFIX=${KIV_WINEPREFIX} WINEDEBUG=-all ${KIV_WINE})
endif()
