#!/usr/bin/env bash
# The demo: the example installation on optolink-sim, and qorctl against it
# as a user would run it: info, scan, read, write with a read-back, and a
# short watch that ends by itself. Installs what is missing and builds first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${DEMO_BUILD_DIR:-build/demo}
echo "== building qorctl, libdoved.so and optolink-sim in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOVED_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target qorctl optolink-sim doved

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

installation=tools/optolink-sim/example-installation.txt
echo "== starting optolink-sim with $installation"
"$build/tools/optolink-sim/optolink-sim" --paced "$installation" >"$work/port" 2>"$work/simulator.log" &
sim_pid=$!
for _ in $(seq 200); do
  [[ -s $work/port ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
port=$(head -n 1 "$work/port")
if [[ -z $port ]]; then
  echo "optolink-sim did not start:"
  cat "$work/simulator.log"
  exit 1
fi
grep -v '^#' "$installation" | grep -v '^\s*$' | sed 's/^/   /'

# qorctl takes the port from the environment as well as from --port.
export QORCTL_PORT=$port
echo "== QORCTL_PORT=$port (the simulator's pseudo-terminal)"

qorctl() {
  echo
  echo "\$ qorctl $*"
  local status=0
  "$build/qorctl" "$@" || status=$?
  echo "(exit status $status)"
}

qorctl info

# Runs qorctl with the driver's lines kept aside and shown afterwards, each
# once with its count: the scan logs "Block Read Failed" for every silent
# address (counted together as "..AA"), and a watch logs each rejected read
# again in every cycle.
qorctl_quiet() {
  echo
  echo "\$ qorctl $*"
  local status=0
  "$build/qorctl" "$@" 2>"$work/stderr" || status=$?
  echo "(exit status $status; stderr, each line once with its count:)"
  sed -E 's/(Block Read Failed. Gate = )[0-9]{2}AA$/\1..AA/' "$work/stderr" | sort | uniq -c | sort -rn | sed 's/^/   /'
}

echo
echo "== scan: about half a minute, 63 addresses with 4 attempts at each silent one"
qorctl_quiet scan

qorctl read 05CA 05C3 05EC 03A0 03A1 03PA 12AA 12EC 05AA:6 09AA 07AA
qorctl read --json 05EC 03AA:2 01AA

qorctl write 03PA=42 03A1=1 12AA:2=7,8 05EC=5
qorctl read 03PA 03A1 03AA 12AA:4

echo
echo
echo "== watch: 12EC counts up once a second; station 7 rejects every read, station 1 is silent"
qorctl_quiet watch 12EC 05EC 03A0 07AA 01AA --interval 1000 --count 5 --timeout 100
