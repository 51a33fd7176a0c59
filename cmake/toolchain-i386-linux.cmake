# 32-bit x86 Linux with the system's compiler in -m32 mode (Debian's
# g++-multilib): the binary interface of the hosts in the field.
#
#   cmake -S . -B build/i386 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386-linux.cmake
#
# The system's GoogleTest is 64-bit, so the suite builds its own from
# Debian's sources (/usr/src/googletest, package googletest).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(DOVED_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
# The test programs may not run where they are built (a kernel without
# 32-bit support runs them in scripts/ia32-vm.sh), so their cases are
# listed when the tests run, not after each link.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
