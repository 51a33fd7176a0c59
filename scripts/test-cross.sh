#!/usr/bin/env bash
# The driver on its field platform: builds for i386 Linux and runs the suite
# in a 32-bit process (the host records' binary interface), and builds
# doved.dll for i686 Windows and runs the Windows suite under Wine against
# the native simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
bash scripts/install-cross-deps.sh

# The Windows suite talks to the native simulator.
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$jobs" --target optolink-sim

echo "== i386 build: the suite in a 32-bit process, the host records' binary interface"
cmake -S . -B build/i386 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386-linux.cmake >/dev/null
cmake --build build/i386 -j "$jobs"
# Where this kernel runs no 32-bit program, in an emulated machine.
bash scripts/ia32-vm.sh ctest --test-dir build/i386 -j "$jobs" --output-on-failure --timeout 600

echo "== Windows i686 build: doved.dll, and the Windows suite under Wine"
cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DDOVED_OPTOLINK_SIM="$PWD/build/plain/tools/optolink-sim/optolink-sim" >/dev/null
cmake --build build/win32 -j "$jobs"
bash scripts/ia32-vm.sh ctest --test-dir build/win32 --output-on-failure --timeout 900
