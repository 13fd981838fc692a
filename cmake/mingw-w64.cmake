# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix thread model, so std::thread and
# std::mutex work) and runs every built program under Wine.
#
#   cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DKT_WIN_DEPS=<prefix of scripts/install-deps-windows>
#
# The executables link libgcc, libstdc++ and winpthreads statically: an .exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KT_MINGW_TRIPLE}-windres)

# Libraries built for Windows by scripts/install-deps-windows (libcurl, GoogleTest) live in one
# prefix; the system's MinGW root holds zlib and the Windows import libraries.
set(KT_WIN_DEPS "" CACHE PATH "Prefix of the Windows dependencies (libcurl, GoogleTest)")
set(CMAKE_FIND_ROOT_PATH /usr/${KT_MINGW_TRIPLE} ${KT_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only packages of the build machine (nlohmann-json, cpp-httplib) are found on the host.
list(APPEND CMAKE_PREFIX_PATH ${KT_WIN_DEPS})

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib too, not its DLL.
set(ZLIB_USE_STATIC_LIBS ON)

# Every test and tool runs under Wine, in a prefix of this build tree so that nothing of the
# user's ~/.wine is touched. The wrapper creates the prefix on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
