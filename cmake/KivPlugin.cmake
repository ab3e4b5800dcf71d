# kiv_add_plugin(NAME name SOURCES file... [EXPORT_NAME load_x] [LIBRARIES lib...])
#
# A plugin library as a host loads it: a shared library linking kiv::framework
# that exports its load function and nothing else.
#
#   NAME         the target and the library's file name: libNAME.so on Linux,
#                NAME.dll on Windows (no "lib" prefix).
#   SOURCES      the plugin's sources; one of them defines the export with
#                KIV_DEFINE_PLUGIN_EXPORT(EXPORT_NAME, ...).
#   EXPORT_NAME  the load function; "load_" and NAME with each '-' as '_' by
#                default, which is also the name a host looks for in that file.
#   LIBRARIES    further libraries the plugin links (privately).
#
# On every target: hidden visibility, inline functions included. Linux: a
# version script made for the one export (a library that exports anything
# else, a C++ runtime symbol of unique binding say, is never really
# unloaded), -z defs so that a symbol missing at link time fails the link
# rather than the host's dlopen, and a link error when the export is not
# defined at all. MinGW: a .def file with the one export (the link fails when
# it is missing) and the C++ runtime, libgcc and winpthread linked in, so the
# DLL needs nothing but system DLLs.
#
# The SDK's KivPluginSdkConfig.cmake includes this file; in the source tree
# the top CMakeLists.txt does.
include_guard(GLOBAL)

function(kiv_add_plugin)
  cmake_parse_arguments(PARSE_ARGV 0 _kap "" "NAME;EXPORT_NAME" "SOURCES;LIBRARIES")
  if(_kap_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kiv_add_plugin: unknown arguments: ${_kap_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT _kap_NAME OR NOT _kap_SOURCES)
    message(FATAL_ERROR "kiv_add_plugin: NAME and SOURCES are required")
  endif()
  set(name ${_kap_NAME})
  if(_kap_EXPORT_NAME)
    set(export ${_kap_EXPORT_NAME})
  else()
    string(REPLACE "-" "_" export "load_${name}")
  endif()
  if(NOT export MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "kiv_add_plugin(${name}): EXPORT_NAME '${export}' is not a C identifier")
  endif()

  add_library(${name} SHARED ${_kap_SOURCES})
  target_link_libraries(${name} PRIVATE kiv::framework ${_kap_LIBRARIES})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    KIV_PLUGIN_EXPORT_NAME ${export})

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/kiv_plugin/${name})
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
    file(CONFIGURE OUTPUT ${dir}/exports.def CONTENT "EXPORTS\n    ${export}\n" @ONLY)
    target_sources(${name} PRIVATE ${dir}/exports.def)
    if(MINGW)
      target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
  elseif(NOT APPLE)
    file(CONFIGURE OUTPUT ${dir}/exports.map
         CONTENT "/* The plugin's one export. */\n{\n  global: ${export};\n  local: *;\n};\n" @ONLY)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${dir}/exports.map)
    # --no-undefined-version turns an export that no source defines into a
    # link error ("undefined version").
    target_link_options(${name} PRIVATE "LINKER:--version-script=${dir}/exports.map" "LINKER:--no-undefined-version")
    # Clang leaves its sanitizers' runtime to the executable, so a sanitized
    # plugin has undefined symbols by design; GCC links the runtime in.
    get_directory_property(dir_link_options LINK_OPTIONS)
    set(flags "${CMAKE_CXX_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS} ${dir_link_options}")
    if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND flags MATCHES "-fsanitize="))
      target_link_options(${name} PRIVATE "LINKER:-z,defs")
    endif()
  endif()
endfunction()
