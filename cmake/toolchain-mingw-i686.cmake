# 32-bit Windows (i686) with Debian's mingw-w64 cross compiler, the variant
# with POSIX threads (std::thread and std::mutex need it):
#
#   cmake -S . -B build/win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# Builds doved.dll and qorhost.dll for 32-bit Windows hosts. The C and C++
# runtimes and winpthread are linked in statically, so a DLL needs nothing
# beyond Windows' own DLLs (and doved.dll needs qorhost.dll). The test
# programs run under Wine (tests/win32/run-wine.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(DOVED_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${DOVED_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOVED_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DOVED_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${DOVED_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${DOVED_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLL of the compiler's beside the programs: libgcc, libstdc++
# and winpthread go into each binary.
set(DOVED_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${DOVED_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${DOVED_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${DOVED_STATIC_RUNTIME}")

set(DOVED_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
set(DOVED_TOOLS OFF CACHE BOOL "The tools are POSIX programs")

# ctest runs the Windows test programs under Wine, with the simulator's
# COM port (tests/win32/run-wine.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/win32/run-wine.sh)
