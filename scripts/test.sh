#!/usr/bin/env bash
# Builds the project twice, plain and with AddressSanitizer +
# UndefinedBehaviorSanitizer, and runs the whole test suite in both.
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
