#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) and runs each from its seed corpus, tests/fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 20); 0 runs only the corpus files, each once.
# TARGETs: fuzz_line, fuzz_address, fuzz_records (default all three).
# Inputs the fuzzer finds go to build/fuzz/run/<target>/corpus (kept for
# the next run); a finding is written to build/fuzz/run/<target>/ with the
# target's log, and the script fails. Once the fault is fixed, copy the
# finding into tests/fuzz/corpus/<target>/ as a regression input.
# FUZZ_BUILD_DIR sets the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_line fuzz_address fuzz_records)
dir=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${JOBS:-2}

# Only what this script needs beyond the build's own tools.
missing=()
for package in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
((${#missing[@]} == 0)) || bash scripts/install-deps.sh "${missing[@]}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DDOVED_FUZZ=ON -DDOVED_TESTS=OFF -DDOVED_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target doved_fuzz

passed=0
failed=0
for target in "${targets[@]}"; do
  binary=$dir/tests/fuzz/$target
  seeds=tests/fuzz/corpus/$target
  work=$dir/run/$target
  mkdir -p "$work/corpus"
  log=$work/log
  start=$SECONDS
  if ((seconds == 0)); then
    command=("$binary" "$seeds"/*)
  else
    # New inputs go to the first folder; the seeds in the tree stay as they are.
    command=("$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds")
  fi
  if "${command[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-$(ls "$seeds" | wc -l)} inputs in $((SECONDS - start)) s, no finding"
    passed=$((passed + 1))
  else
    echo "$target: FINDING (log $log)"
    grep -E 'property failed|ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
    tail -n 40 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
