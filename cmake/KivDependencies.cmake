# Third-party packages, found the CMake way. Cross builds (x86, windows-x86)
# find their libyaml through pkg-config in the target's own pkg-config tree and
# build GoogleTest from Debian's source copy under /usr/src/googletest.
find_package(PkgConfig REQUIRED)

# RapidJSON is header-only; its headers are the same on every target.
find_path(KIV_RAPIDJSON_INCLUDE_DIR rapidjson/reader.h
  HINTS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT KIV_RAPIDJSON_INCLUDE_DIR)
  message(FATAL_ERROR "RapidJSON headers not found (install rapidjson-dev)")
endif()
add_library(kiv_rapidjson INTERFACE)
# Only the rapidjson/ folder is exposed, through a private copy of its path, so
# that a cross build never sees the host's other system headers.
set(_kiv_rj_dir ${CMAKE_BINARY_DIR}/third_party/rapidjson-include)
if(NOT EXISTS ${_kiv_rj_dir}/rapidjson)
  file(MAKE_DIRECTORY ${_kiv_rj_dir})
  file(CREATE_LINK ${KIV_RAPIDJSON_INCLUDE_DIR}/rapidjson ${_kiv_rj_dir}/rapidjson SYMBOLIC)
endif()
target_include_directories(kiv_rapidjson SYSTEM INTERFACE ${_kiv_rj_dir})

pkg_check_modules(YAML REQUIRED IMPORTED_TARGET yaml-0.1)
add_library(kiv_yaml INTERFACE)
if(WIN32)
  # The cross-built libyaml is static; its headers must not ask for dllimport.
  target_compile_definitions(kiv_yaml INTERFACE YAML_DECLARE_STATIC)
  target_include_directories(kiv_yaml SYSTEM INTERFACE ${YAML_STATIC_INCLUDE_DIRS})
  target_link_directories(kiv_yaml INTERFACE ${YAML_STATIC_LIBRARY_DIRS})
  target_link_libraries(kiv_yaml INTERFACE -l:libyaml.a)
else()
  target_link_libraries(kiv_yaml INTERFACE PkgConfig::YAML)
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
