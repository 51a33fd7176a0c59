#!/usr/bin/env bash
# Installs what the i386 and Windows builds need beyond scripts/install-deps.sh.
# Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."

# Wine for 32-bit Windows programs comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -q
fi
# The i386 build (-m32 and GoogleTest's sources), the Windows build and Wine.
bash scripts/install-deps.sh g++-multilib googletest g++-mingw-w64-i686-posix wine wine32:i386

# Where the kernel runs no 32-bit program (some virtual machines), the i386
# and Windows suites run in a small emulated machine (scripts/ia32-vm.sh).
if ! bash scripts/ia32-vm.sh --native; then
  bash scripts/install-deps.sh qemu-system-x86 linux-image-amd64 busybox-static cpio
fi
