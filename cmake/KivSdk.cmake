# The plugin author's SDK, as `cmake --install` lays it out under a prefix:
#
#   include/kiv/                   kiv_plugin.h and a folder per room (framework/, api/, ...)
#   lib/                           the rooms' static libraries (libkiv_framework.a, ...)
#   lib/kiv/libyaml.a              Windows only: the static libyaml the rooms were built with
#   lib/cmake/KivPluginSdk/        the package: find_package(KivPluginSdk CONFIG) gives the
#                                  kiv::<room> targets, kiv::kivhost and kiv_add_plugin()
#   lib/pkgconfig/kiv-plugin-sdk.pc
#   bin/kivhost                    the reference host, where this build has one (on Windows
#                                  with kivhost-probe.exe, its handshake probe)
#   share/KivPluginSdk/template/   a plugin to start from (examples/template)
#   share/KivPluginSdk/toolchain-*.cmake  cross builds: the toolchain to build plugins with
#
# Nothing but the SDK has install rules, so `cmake --install` needs only the
# rooms (and kivhost) built. The same targets are exported from the build
# tree: -DKivPluginSdk_DIR=<build>/sdk finds them there.
include(CMakePackageConfigHelpers)

set(KIV_SDK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KivPluginSdk)
set(KIV_SDK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/KivPluginSdk)
set(_kiv_sdk_build_dir ${CMAKE_BINARY_DIR}/sdk)
math(EXPR _kiv_bits "${CMAKE_SIZEOF_VOID_P} * 8")
set(KIV_SDK_TARGET "${CMAKE_SYSTEM_NAME} ${_kiv_bits}-bit (${CMAKE_SYSTEM_PROCESSOR})")

install(FILES ${PROJECT_SOURCE_DIR}/include/kiv_plugin.h DESTINATION ${KIV_SDK_INCLUDE_DIR} COMPONENT sdk)
install(TARGETS kiv_yaml EXPORT KivPluginSdkTargets COMPONENT sdk)
if(WIN32)
  install(FILES ${KIV_YAML_STATIC_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR}/kiv COMPONENT sdk)
  # Its licence travels with it: from the cross-built prefix, or the source
  # dev.sh built it from.
  file(GLOB _kiv_yaml_license ${KIV_MINGW_PREFIX}/share/doc/libyaml/License
       ${KIV_MINGW_PREFIX}/../src/libyaml-*/License)
  list(SUBLIST _kiv_yaml_license 0 1 _kiv_yaml_license)
  if(_kiv_yaml_license)
    install(FILES ${_kiv_yaml_license} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/KivPluginSdk
            RENAME libyaml-License COMPONENT sdk)
  endif()
endif()
if(TARGET kivhost)
  install(TARGETS kivhost EXPORT KivPluginSdkTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk)
endif()
if(TARGET kivhost-probe)
  install(TARGETS kivhost-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk)
endif()

install(EXPORT KivPluginSdkTargets NAMESPACE kiv:: DESTINATION ${KIV_SDK_CMAKE_DIR} COMPONENT sdk)
export(EXPORT KivPluginSdkTargets NAMESPACE kiv:: FILE ${_kiv_sdk_build_dir}/KivPluginSdkTargets.cmake)

# The Config file is the same for the install and the build tree: everything
# it reads sits beside it.
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/sdk/KivPluginSdkConfig.cmake.in
                              ${_kiv_sdk_build_dir}/KivPluginSdkConfig.cmake
                              INSTALL_DESTINATION ${KIV_SDK_CMAKE_DIR})
# SameMajorVersion, and the pointer size of this build (not ARCH_INDEPENDENT),
# then the wrapper that also compares the system and says why an SDK does
# not fit the build that found it.
write_basic_package_version_file(${_kiv_sdk_build_dir}/KivPluginSdkBasicVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
configure_file(${CMAKE_CURRENT_LIST_DIR}/sdk/KivPluginSdkConfigVersion.cmake.in
               ${_kiv_sdk_build_dir}/KivPluginSdkConfigVersion.cmake @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/KivPlugin.cmake ${_kiv_sdk_build_dir}/KivPlugin.cmake COPYONLY)
install(FILES ${_kiv_sdk_build_dir}/KivPluginSdkConfig.cmake ${_kiv_sdk_build_dir}/KivPluginSdkConfigVersion.cmake
              ${_kiv_sdk_build_dir}/KivPluginSdkBasicVersion.cmake ${CMAKE_CURRENT_LIST_DIR}/KivPlugin.cmake
        DESTINATION ${KIV_SDK_CMAKE_DIR} COMPONENT sdk)

# pkg-config, for builds without CMake. The prefix is found from the file's
# own place, so the SDK can be moved or unpacked anywhere.
file(RELATIVE_PATH KIV_SDK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KIV_SDK_PC_TO_PREFIX "${KIV_SDK_PC_TO_PREFIX}")
if(WIN32)
  set(KIV_SDK_PC_REQUIRES "")
  set(KIV_SDK_PC_EXTRA_LIBS "\${libdir}/kiv/libyaml.a")
else()
  set(KIV_SDK_PC_REQUIRES "Requires: yaml-0.1")
  set(KIV_SDK_PC_EXTRA_LIBS "-pthread")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/sdk/kiv-plugin-sdk.pc.in ${_kiv_sdk_build_dir}/kiv-plugin-sdk.pc @ONLY)
install(FILES ${_kiv_sdk_build_dir}/kiv-plugin-sdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT sdk)

# The template, and for a cross build the toolchain a plugin is built with.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/template/ DESTINATION ${KIV_SDK_DATA_DIR}/template COMPONENT sdk
        PATTERN "build*" EXCLUDE)
if(WIN32)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/sdk/toolchain-mingw-i686.cmake DESTINATION ${KIV_SDK_DATA_DIR}
          COMPONENT sdk)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-x86.cmake DESTINATION ${KIV_SDK_DATA_DIR} COMPONENT sdk)
endif()
