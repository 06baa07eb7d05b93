# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread model, which
# std::thread and std::mutex need). The runtime is linked statically, so the programs need only
# the system's own DLLs (kernel32, msvcrt, ws2_32, ...).
#
#   cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTREL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KESTREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_PREFIX})
# libsodium and giflib are cross-built outside the system's root (scripts/build-sodium-windows
# and scripts/build-giflib-windows, given to cmake as Sodium_ROOT and GIF_ROOT): their prefixes
# are roots of this target's files too.
foreach(root ${Sodium_ROOT} ${GIF_ROOT})
    list(APPEND CMAKE_FIND_ROOT_PATH ${root})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
