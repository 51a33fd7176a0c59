#!/usr/bin/env bash
# Builds the project twice, plain and with AddressSanitizer +
# UndefinedBehaviorSanitizer, and runs the whole test suite in both; then
# the concurrency tests under ThreadSanitizer, the plain build's tests under
# valgrind (scripts/valgrind.sh), a short fuzzing run (scripts/fuzz.sh,
# FUZZ_SECONDS per target, 20 by default) and the builds for the field's
# platform (scripts/test-cross.sh): the suite in a 32-bit Linux process and
# the Windows suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

# What a fresh machine lacks is installed first, so this one command is enough.
bash scripts/install-deps.sh

run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
}

echo "== plain build"
run_build build/plain
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_build build/asan -DDOVED_SANITIZE=ON
echo "== ThreadSanitizer build: the tests of many ports and threads at once"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOVED_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target test_many_ports test_line_faults
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan -j "$jobs" --output-on-failure --timeout 600 --no-tests=error -R '^(ManyPorts\.|Line/)'
echo "== valgrind memcheck: the plain build's test executables"
VALGRIND_BUILD_DIR=build/plain bash scripts/valgrind.sh
echo "== fuzzing: every target from its corpus for a bounded time"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
echo "== the field's platform: i386 Linux and Windows i686 under Wine"
bash scripts/test-cross.sh
