# Flags shared by every target of the tree.
add_compile_options(-Wall -Wextra)
if(KIV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
option(KIV_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
if(KIV_SANITIZE_THREAD)
  if(KIV_SANITIZE)
    message(FATAL_ERROR "KIV_SANITIZE_THREAD and KIV_SANITIZE exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
# Long fuzzing campaigns may drop ASan ("undefined" alone) to run several
# times faster; the short runs and the crash reproductions keep both.
set(KIV_FUZZ_SANITIZERS "address,undefined" CACHE STRING "Sanitizers of the fuzz build")
if(KIV_BUILD_FUZZ)
  # Libraries get the fuzzer's coverage hooks too (only the fuzz programs link its
  # driver); undefined behaviour must stop the run, or the fuzzer never sees it.
  add_compile_options(-fsanitize=fuzzer-no-link,${KIV_FUZZ_SANITIZERS} -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${KIV_FUZZ_SANITIZERS})
endif()
if(WIN32)
  # One self-contained DLL: the C++ runtime, libgcc and winpthread are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
endif()
if(NOT WIN32 AND NOT APPLE)
  # A plugin library exports its load function and nothing else. Hidden
  # visibility alone leaves the C++ runtime's header-defined symbols exported,
  # and one of them with unique binding keeps the library loaded for good:
  # unloading it would then free nothing. Plugins made by kiv_add_plugin
  # (KivPlugin.cmake) get a version script for their own export instead; this
  # one covers the test plugins built as plain shared libraries.
  add_link_options(
    "$<$<AND:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,$<STREQUAL:$<TARGET_PROPERTY:KIV_PLUGIN_EXPORT_NAME>,>>:LINKER:--version-script=${CMAKE_CURRENT_LIST_DIR}/plugin_exports.map>")
endif()
