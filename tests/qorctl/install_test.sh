#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a C host against
# the installed copy with pkg-config alone, then runs it and the installed
# qorctl. Arguments: build directory, host source, the build's C compiler
# and its flags (-m32 in the i386 build), and with-tools when the tools
# are built.
set -euo pipefail
build=$1
source=$2
compiler=${3:-cc}
extra_cflags=${4:-}
tools=${5:-with-tools}

for tool in pkg-config "$compiler"; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name doved.pc -path '*/pkgconfig/*')
[[ -n $pc ]] || { echo "doved.pc not installed"; exit 1; }
files=(include/doved/qor_interface.h include/doved/qorhost.h)
[[ $tools == with-tools ]] && files+=(bin/qorctl bin/optolink-sim)
for file in "${files[@]}"; do
  [[ -e $prefix/$file ]] || { echo "$file not installed"; exit 1; }
done
export PKG_CONFIG_PATH=$(dirname "$pc")

libdir=$(pkg-config --variable=libdir doved)
# shellcheck disable=SC2046,SC2086
"$compiler" $extra_cflags -o "$prefix/host" "$source" $(pkg-config --cflags --libs doved) -Wl,-rpath,"$libdir"

# The host must load the installed library, not the one in the build tree.
loaded=$(ldd "$prefix/host" | awk '/libdoved\.so/ {print $3}')
[[ $(realpath "$loaded") == "$(realpath "$libdir")/libdoved.so" ]] || {
  echo "host loads $loaded, not the installed copy under $libdir"; exit 1; }

output=$("$prefix/host")
echo "$output"
[[ $output == "GetQorInfo 0 context size 708" ]] || { echo "unexpected host output"; exit 1; }

[[ $tools == with-tools ]] || exit 0

# The installed qorctl finds the installed driver by itself.
info=$("$prefix/bin/qorctl" info)
grep -qx "driver        $(realpath "$libdir")/libdoved.so" <<<"$info" ||
  grep -qx "driver        $libdir/libdoved.so" <<<"$info" || {
  echo "installed qorctl did not load the installed driver:"; echo "$info"; exit 1; }
echo "installed qorctl: $(grep '^driver' <<<"$info")"
