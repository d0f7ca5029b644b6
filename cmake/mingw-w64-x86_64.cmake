# SPDX-License-Identifier: GPL-3.0-or-later
# Cross build for 64-bit Windows with Debian's mingw-w64. The -posix variant of the compiler is
# the one with std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LL_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${LL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry their C++ runtime and thread library: otherwise they need the compiler's
# DLLs next to them, and without those they end before printing anything.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Cross-built tests run under Wine, each in a private prefix under the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
