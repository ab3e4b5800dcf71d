# Building a plugin DLL against the Windows SDK: 32-bit x86, MinGW-w64 with
# the posix thread model (the SDK's libraries were built with it). This file
# sits in <sdk>/share/KivPluginSdk/; the SDK's own prefix is searched as a
# target root, so find_package(KivPluginSdk) finds it without a prefix path.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

cmake_path(ABSOLUTE_PATH CMAKE_CURRENT_LIST_DIR NORMALIZE OUTPUT_VARIABLE _kiv_sdk_prefix)
cmake_path(GET _kiv_sdk_prefix PARENT_PATH _kiv_sdk_prefix)
cmake_path(GET _kiv_sdk_prefix PARENT_PATH _kiv_sdk_prefix)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${_kiv_sdk_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
