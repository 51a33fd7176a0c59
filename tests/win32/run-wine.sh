#!/usr/bin/env bash
# Runs a Windows test program under Wine with a COM port on which
# optolink-sim serves tests/win32/stations.txt:
#
#   run-wine.sh PROGRAM.exe [ARGS...]
#
# The simulator runs natively on one side of a pseudo-terminal (it prints
# the slave's path as its first line); the prefix's dosdevices/comN link
# makes that slave COMN for Wine. The program finds the port's name in
# DOVED_SIM_COM ("\\.\COMN") and the simulator's frame log in DOVED_SIM_LOG
# (a Z: path). The toolchain file makes this the programs' emulator, so
# ctest runs every Windows test through it.
#
# With DOVED_SIM_WITH_CONTROL=1 the simulator also serves its control line
# (--control, a second pseudo-terminal), which becomes another COM port
# named in DOVED_SIM_CONTROL: the program then sets up the stations itself.
#
# Environment: DOVED_OPTOLINK_SIM (the simulator, from a Linux build),
# DOVED_SIM_STATIONS (the stations file; optional with the control line),
# DOVED_SIM_WITH_CONTROL, DOVED_WINEPREFIX (default /tmp/doved-wine-UID;
# made on first use).
set -euo pipefail
program=$1; shift

prefix=${DOVED_WINEPREFIX:-/tmp/doved-wine-$(id -u)}
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
# No Mono and no Gecko: without them making a prefix takes seconds, with
# them it waits for installers that never come.
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"

# One prefix for every program; the first to come makes it.
mkdir -p "$(dirname "$prefix")"
exec 8>"$prefix.lock"
flock 8
if [[ ! -f $prefix/system.reg ]]; then
  echo "run-wine: making the Wine prefix $prefix" >&2
  wineboot -i >&2
  wineserver -w
fi
flock -u 8

work=$(mktemp -d "${TMPDIR:-/tmp}/doved-wine-run.XXXXXX")
links=()
sim_pid=
cleanup() {
  rm -f "${links[@]}"
  exec 9>&- 2>/dev/null || true
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Links the device $1 as the first free COM number and answers that
# number; ln fails on a link that exists, so two programs never share one.
link_com() {
  local n
  for n in $(seq 2 64); do
    if ln -s "$1" "$prefix/dosdevices/com$n" 2>/dev/null; then
      links+=("$prefix/dosdevices/com$n")
      echo "$n"
      return 0
    fi
  done
  echo "run-wine: no free COM number" >&2
  return 1
}

if [[ -n ${DOVED_OPTOLINK_SIM:-} ]]; then
  sim_args=(--log --until-stdin-closes)
  lines=1
  if [[ ${DOVED_SIM_WITH_CONTROL:-0} == 1 ]]; then
    sim_args+=(--control)
    lines=2
    [[ -n ${DOVED_SIM_STATIONS:-} ]] && sim_args+=("$DOVED_SIM_STATIONS")
  else
    sim_args+=("${DOVED_SIM_STATIONS:?}")
  fi
  # The simulator serves until its standard input closes: this script
  # holds the pipe's writing end, so it ends with the script in any case.
  mkfifo "$work/stdin"
  "$DOVED_OPTOLINK_SIM" "${sim_args[@]}" <"$work/stdin" >"$work/port" 2>"$work/frames" &
  sim_pid=$!
  exec 9>"$work/stdin"
  for _ in $(seq 100); do
    [[ $(wc -l <"$work/port") -ge $lines ]] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "run-wine: optolink-sim ended" >&2; cat "$work/frames" >&2; exit 1; }
    sleep 0.1
  done
  pty=$(sed -n 1p "$work/port")
  [[ $pty == /dev/* ]] || { echo "run-wine: optolink-sim gave no port" >&2; exit 1; }
  # Not in a command substitution: the links must reach this shell's list.
  link_com "$pty" >"$work/com"
  export DOVED_SIM_COM="\\\\.\\COM$(cat "$work/com")"
  export DOVED_SIM_LOG="Z:${work//\//\\}\\frames"
  if [[ $lines == 2 ]]; then
    control=$(sed -n 2p "$work/port")
    [[ $control == /dev/* ]] || { echo "run-wine: optolink-sim gave no control line" >&2; exit 1; }
    link_com "$control" >"$work/com"
    export DOVED_SIM_CONTROL="\\\\.\\COM$(cat "$work/com")"
  fi
fi

# The server is started here so that its own diagnostics at exit stay out
# of the test's output; the program connects to it within its 3 s grace.
wineserver </dev/null >/dev/null 2>&1 || true
set +e
wine "$program" "$@"
status=$?
set -e
exit "$status"
