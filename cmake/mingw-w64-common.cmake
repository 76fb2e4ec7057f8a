set(CMAKE_C_COMPILER ${KVN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVN_MINGW_TRIPLE}-windres)
set(KVN_WINDMC ${KVN_MINGW_TRIPLE}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${KVN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests built for Windows run under Wine, through a wrapper that keeps Wine quiet and
# gives the build its own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run-under-wine.sh)
