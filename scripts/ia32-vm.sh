#!/usr/bin/env bash
# Runs one command where 32-bit x86 programs execute.
#
#   scripts/ia32-vm.sh COMMAND [ARGS...]
#   scripts/ia32-vm.sh --native      # exit 0 when no virtual machine is needed
#
# Where the kernel runs 32-bit programs itself, the command simply runs.
# Some virtual machines (this project's CI among them) run a 64-bit kernel
# that refuses every 32-bit ELF program with "Exec format error"; there the
# command runs inside a small virtual machine instead: Debian's kernel under
# qemu-system-x86_64 (software emulation, no KVM needed) with this machine's
# whole file system shared over 9p, so the same files, programs and build
# trees are seen. The command runs as root in the current directory with
# the variables named in IA32_VM_PASS (space-separated) passed on, and its
# exit code is this script's.
#
# Needs (scripts/install-deps.sh): qemu-system-x86, linux-image-amd64,
# busybox-static.
set -euo pipefail

probe_dir=${IA32_VM_DIR:-/tmp/doved-ia32-vm}
mkdir -p "$probe_dir"

# Does this kernel run 32-bit programs? Asked once per boot of the machine.
native_ia32() {
  local probe=$probe_dir/probe32
  if [[ ! -x $probe ]]; then
    # A real 32-bit process on a real kernel: a user-mode emulator that
    # happens to be registered for 32-bit programs lacks the termios2
    # ioctls that the serial layer needs, so it does not count.
    cat >"$probe_dir/probe32.c" <<'PROBE'
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
int main(void) {
    struct termios2 settings;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    return master < 0 || ioctl(master, TCGETS2, &settings) != 0;
}
PROBE
    gcc -m32 -D_XOPEN_SOURCE=600 -o "$probe" "$probe_dir/probe32.c" 2>/dev/null || return 1
  fi
  "$probe" 2>/dev/null
}

# --native: only tell (exit 0) whether 32-bit programs run here as they are.
if [[ ${1:-} == --native ]]; then
  native_ia32
  exit
fi

if [[ ${IA32_VM_FORCE:-0} != 1 ]] && native_ia32; then
  exec "$@"
fi

kernel=$(ls /boot/vmlinuz-*-amd64 2>/dev/null | grep -v cloud | sort -V | tail -n1 || true)
if [[ -z $kernel ]]; then
  echo "ia32-vm: no Debian amd64 kernel in /boot (install linux-image-amd64)" >&2
  exit 125
fi
release=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$release

# The initramfs: busybox, the virtio and 9p modules, and an init that
# mounts the shared root and runs the command there.
initrd=$probe_dir/initrd-$release-$(sha1sum "${BASH_SOURCE[0]}" | cut -c1-12).cpio.gz
if [[ ! -s $initrd ]]; then
  root=$(mktemp -d "$probe_dir/initrd.XXXXXX")
  mkdir -p "$root"/{bin,dev,proc,sys,newroot,modules}
  cp /bin/busybox "$root/bin/busybox"
  # The modules for virtio-pci and 9p, each after those it needs
  # (modules.dep lists a module's needs, the farthest last).
  wanted=()
  add_module() {
    local entry=$1 need
    for need in "${wanted[@]}"; do [[ $need == "$entry" ]] && return 0; done
    local line
    line=$(grep -E "^${entry}:" "$modules/modules.dep") || {
      echo "ia32-vm: module $entry missing in $modules" >&2; exit 125; }
    local needs=(${line#*:})
    local i
    for ((i = ${#needs[@]} - 1; i >= 0; i--)); do add_module "${needs[i]}"; done
    wanted+=("$entry")
  }
  for module in drivers/virtio/virtio_pci net/9p/9pnet_virtio fs/9p/9p; do
    add_module "$(grep -oE "^kernel/$module\.ko[^:]*" "$modules/modules.dep")"
  done
  for entry in "${wanted[@]}"; do
    name=$(basename "${entry%%.ko*}")
    case $entry in
      *.xz) xz -dc "$modules/$entry" >"$root/modules/$name.ko" ;;
      *.zst) zstd -qdc "$modules/$entry" >"$root/modules/$name.ko" ;;
      *) cp "$modules/$entry" "$root/modules/$name.ko" ;;
    esac
    echo "$name" >>"$root/modules/order"
  done
  cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do insmod /modules/$module.ko; done
# cache=loose: reads through the page cache, so a large read is never cut
# short at the transport's message size (Wine loads images with one read).
mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576,cache=loose,access=any hostroot /newroot || {
  echo "ia32-vm: cannot mount the shared root" >/dev/console; poweroff -f; }
# The guest's own kernel file systems, and a /tmp of its own: sockets
# (wineserver's among them) do not work over 9p.
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /newroot/dev/pts
ln -sf pts/ptmx /newroot/dev/ptmx 2>/dev/null || mount --bind /newroot/dev/pts/ptmx /newroot/dev/ptmx
mount -t tmpfs tmpfs /newroot/dev/shm
job=$(sed -n 's/.*ia32vm.job=\([^ ]*\).*/\1/p' /proc/cmdline)
# The host's /tmp stays reachable under /hosttmp, and the folders of it
# that the job names (a working tree cloned under /tmp, say) come back
# into the guest's own /tmp at their own paths.
mkdir -p /hosttmp
mount -o bind /newroot/tmp /hosttmp
mount -t tmpfs -o size=2g tmpfs /newroot/tmp
if [ -f "/newroot$job/binds" ]; then
  while read -r path; do
    mkdir -p "/newroot$path"
    mount -o bind "/hosttmp${path#/tmp}" "/newroot$path"
  done <"/newroot$job/binds"
fi
stty -onlcr </dev/console 2>/dev/null
chroot /newroot /bin/bash "$job/run.sh" </dev/null >/dev/console 2>&1
echo $? >"/newroot$job/rc"
sync
poweroff -f
EOF
  chmod +x "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.$$"
  mv "$initrd.$$" "$initrd"
  rm -rf "$root"
fi

# The job folder carries the command in and the exit code out; it is on
# the host's disk, not in /tmp, which the guest replaces with its own.
mkdir -p "${IA32_VM_JOBS:=/var/tmp/doved-ia32-vm}"
job=$(mktemp -d "$IA32_VM_JOBS/job.XXXXXX")
trap 'rm -rf "$job"' EXIT
{
  echo 'set -e'
  echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8'
  for name in ${IA32_VM_PASS:-}; do
    [[ -v $name ]] && printf 'export %s=%q\n' "$name" "${!name}"
  done
  printf 'cd %q\n' "$PWD"
  printf 'exec'; printf ' %q' "$@"; printf '\n'
} >"$job/run.sh"
# The guest has a /tmp of its own; the folders under the host's /tmp that
# hold the current directory and this project come along.
for path in "$PWD" "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"; do
  path=$(realpath -m "$path")
  if [[ $path == /tmp/?* ]]; then
    top=${path#/tmp/}
    echo "/tmp/${top%%/*}"
  fi
done | sort -u >"$job/binds"

memory=${IA32_VM_MEMORY:-4096}
cpus=${IA32_VM_CPUS:-2}
qemu-system-x86_64 \
  -machine q35 -cpu max,-smap -smp "$cpus" -m "$memory" -accel tcg,thread=multi \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 ia32vm.job=$job" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap,id=hostroot \
  -nic none -display none -no-reboot \
  -chardev stdio,id=console,signal=off -serial chardev:console -monitor none \
  </dev/null

if [[ ! -s $job/rc ]]; then
  echo "ia32-vm: the virtual machine ended without the command's exit code" >&2
  exit 125
fi
exit "$(cat "$job/rc")"
