# Shared part of both mingw-w64 toolchains. The -posix variants carry std::mutex and
# std::thread, which GoogleTest needs.
set(CMAKE_C_COMPILER ${VEXA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXA_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEXA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every executable that the build makes runs under Wine, in a prefix of the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh)
