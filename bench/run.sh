#!/usr/bin/env bash
# Builds and runs the benchmark program, then draws the plot:
#   bash bench/run.sh            full run (some 5 minutes), writes bench/RESULTS.md and bench/latency.png
#   bash bench/run.sh --quick    short smoke run, writes into build-bench/ only
# Installs what a fresh Debian machine lacks (scripts/install-deps.sh, with
# libmodbus-dev for the yardstick, gnuplot-nox for the plot, pkg-config to
# find libmodbus).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
jobs=${JOBS:-2}

bash scripts/install-deps.sh libmodbus-dev gnuplot-nox pkg-config

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DDOVED_BENCH=ON -DDOVED_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target doved-bench

if [[ ${1:-} == --quick ]]; then
  out=$build/bench-quick
  mkdir -p "$out"
  "$build/bench/doved-bench" --quick --results "$out/RESULTS.md" --data "$out/latency.dat" \
    --command "bash bench/run.sh --quick"
else
  out=$root/bench
  echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  "$build/bench/doved-bench" --results "$out/RESULTS.md" --data "$out/latency.dat" \
    --command "bash bench/run.sh"
fi
gnuplot -e "data='$out/latency.dat'; output='$out/latency.png'" bench/latency.gp
echo "results: $out/RESULTS.md, plot: $out/latency.png"
