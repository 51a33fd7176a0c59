#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing.
# Idempotent: packages already present are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
updated=0

install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    if ((!updated)); then apt-get update -q; updated=1; fi
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev python3 pkg-config
  "$@")
install_missing "${packages[@]}"
