#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing.
# Idempotent: packages already present are not touched.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev python3 pkg-config "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
