# Flags shared by every target of the tree.
add_compile_options(-Wall -Wextra)
if(KIV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KIV_BUILD_FUZZ)
  # Libraries get the fuzzer's coverage hooks too (only the fuzz programs link its
  # driver); undefined behaviour must stop the run, or the fuzzer never sees it.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(WIN32)
  # One self-contained DLL: the C++ runtime, libgcc and winpthread are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
endif()
