#!/usr/bin/env bash
# Runs the plain build's test executables under valgrind memcheck: a memory
# error or a leak (definite, indirect or possible) fails the run.
#
#   scripts/valgrind.sh [TEST...]
#
# TESTs are names of the build's test executables (test_serial,
# test_transactions, test_qorctl, ...); default: every one of them. What
# GoogleTest itself trips over is suppressed (scripts/valgrind.supp). Each executable's
# report goes to build/plain/valgrind/<name>.log. VALGRIND_BUILD_DIR sets
# the build directory; the build is configured and brought up to date first.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VALGRIND_BUILD_DIR:-build/plain}
jobs=${JOBS:-2}

# Only what this script needs beyond the build's own tools.
missing=()
for package in valgrind; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
((${#missing[@]} == 0)) || bash scripts/install-deps.sh "${missing[@]}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The tests named are built alone (each is a target of its name), all otherwise.
cmake --build "$dir" -j "$jobs" ${1:+--target "$@"}

# The GoogleTest executables, by name.
declare -A paths
while IFS= read -r path; do paths[$(basename "$path")]=$path; done \
  < <(find "$dir/tests" -type f -executable -name 'test_*')
if ((${#paths[@]} == 0)); then
  echo "no test executables in $dir/tests"
  exit 1
fi
tests=("$@")
((${#tests[@]})) || mapfile -t tests < <(printf '%s\n' "${!paths[@]}" | sort)

mkdir -p "$dir/valgrind"
passed=0
failed=0
for name in "${tests[@]}"; do
  log=$dir/valgrind/$name.log
  start=$SECONDS
  # The tests' own subprocesses (the simulator program, shells) are not
  # followed: what is checked is the driver inside the test process.
  path=${paths[$name]:-}
  if [[ -z $path ]]; then
    echo "$name: no such test executable in $dir/tests"
    failed=$((failed + 1))
    continue
  fi
  if valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
       --errors-for-leak-kinds=definite,indirect,possible --suppressions=scripts/valgrind.supp --quiet \
       "$path" >"$log" 2>&1; then
    echo "$name: clean ($((SECONDS - start)) s)"
    passed=$((passed + 1))
  else
    echo "$name: FAILED ($((SECONDS - start)) s, report $log)"
    grep -E '^==[0-9]+==|FAILED' "$log" | head -40 || true
    failed=$((failed + 1))
  fi
done
echo "valgrind: $passed passed, $failed failed"
((failed == 0))
