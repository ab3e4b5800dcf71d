# Third-party packages, found the CMake way. Cross builds (x86, windows-x86)
# find their libyaml through pkg-config in the target's own pkg-config tree and
# build GoogleTest from Debian's source copy under /usr/src/googletest.
find_package(PkgConfig REQUIRED)

# kiv_header_folder(VAR FOLDER PROBE PACKAGE): a header-only library whose
# headers are the same on every target, found in the build machine's
# /usr/include and exposed through a private folder holding a link to its own
# FOLDER alone, so that a cross build never sees the machine's other system
# headers. VAR is set to that private folder.
function(kiv_header_folder var folder probe package)
  find_path(KIV_${var}_SYSTEM_DIR ${folder}/${probe} HINTS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KIV_${var}_SYSTEM_DIR)
    message(FATAL_ERROR "${folder}/${probe} not found (install ${package})")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/third_party/${folder}-include)
  if(NOT EXISTS ${dir}/${folder})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${KIV_${var}_SYSTEM_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  set(${var} ${dir} PARENT_SCOPE)
endfunction()

# RapidJSON is header-only. Only the readers' sources include it, so it never
# reaches the SDK's public headers or the link interface of any installed
# target.
kiv_header_folder(KIV_RAPIDJSON_PRIVATE_DIR rapidjson reader.h rapidjson-dev)
add_library(kiv_rapidjson INTERFACE)
target_include_directories(kiv_rapidjson SYSTEM INTERFACE ${KIV_RAPIDJSON_PRIVATE_DIR})

# The rooms are static libraries: whatever links them needs their threads and
# libyaml too, so both are part of the installed targets' interface
# (KivPluginSdkConfig.cmake finds them again on the plugin author's side).
find_package(Threads REQUIRED)

# kiv_yaml is installed with the rooms (as kiv::yaml). On Linux it stands for
# the system's libyaml, found through pkg-config by the same name on both
# sides; the MinGW build links the cross-built static libyaml, which the
# Windows SDK carries in lib/kiv/ so that a plugin author need not build it.
pkg_check_modules(KivYaml REQUIRED IMPORTED_TARGET yaml-0.1)
add_library(kiv_yaml INTERFACE)
set_target_properties(kiv_yaml PROPERTIES EXPORT_NAME yaml)
if(WIN32)
  find_library(KIV_YAML_STATIC_LIBRARY NAMES libyaml.a PATHS ${KivYaml_STATIC_LIBRARY_DIRS} NO_DEFAULT_PATH)
  if(NOT KIV_YAML_STATIC_LIBRARY)
    message(FATAL_ERROR "No static libyaml.a in ${KivYaml_STATIC_LIBRARY_DIRS} (./dev.sh test-windows builds it)")
  endif()
  # The cross-built libyaml is static; its headers must not ask for dllimport.
  target_compile_definitions(kiv_yaml INTERFACE $<BUILD_INTERFACE:YAML_DECLARE_STATIC>)
  target_include_directories(kiv_yaml SYSTEM INTERFACE $<BUILD_INTERFACE:${KivYaml_STATIC_INCLUDE_DIRS}>)
  # _IMPORT_PREFIX is the installed targets file's own variable: the path is
  # resolved where the SDK was unpacked, not where it was built.
  target_link_libraries(kiv_yaml INTERFACE $<BUILD_INTERFACE:${KIV_YAML_STATIC_LIBRARY}>
                                           $<INSTALL_INTERFACE:\${_IMPORT_PREFIX}/${CMAKE_INSTALL_LIBDIR}/kiv/libyaml.a>)
else()
  target_link_libraries(kiv_yaml INTERFACE PkgConfig::KivYaml)
endif()

if(KIV_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL SYSTEM)
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()

if(KIV_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
endif()
