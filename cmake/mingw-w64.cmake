# SPDX-License-Identifier: GPL-2.0-or-later
# Shared part of the MinGW-w64 cross toolchains; the caller sets
# HUSHLINK_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and HUSHLINK_WINE_ARCH.
#
# The -posix compilers: the thread model GoogleTest needs for the tests. The
# plugin uses no threads; the runtime is linked in statically either way.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${HUSHLINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HUSHLINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HUSHLINK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HUSHLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows programs the tests run go through Wine, in a prefix of this build's
# own (see tests/windows/run-in-wine.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/run-in-wine.sh ${HUSHLINK_WINE_ARCH}
    ${CMAKE_BINARY_DIR}/wine-prefix)
