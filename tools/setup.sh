#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (as root). Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  cmake make g++ googletest clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth imagemagick file nsis
  python3-pytest python3-pyftpdlib python3-openssl curl lftp openssl
  qemu-user-static
  iproute2 nftables
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi
"$(dirname "$0")/install-ftp-servers.sh"

# The release program is 32-bit: its tests need Wine's 32-bit loader, and a kernel that runs 32-bit
# code. Where the kernel refuses it ("Exec format error"), qemu-user runs it through binfmt_misc:
# qemu-user-static registers no i386 handler on amd64, and neither the mount nor the registration
# outlives a reboot, so both are checked on every run. Where the kernel runs it itself, emulation
# would only cost minutes, so the handler is taken away (QUILLORY_EMULATE_I386=1 keeps it, to try
# what a machine without 32-bit support does).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  apt-get update -q
  apt-get install -y -q wine32:i386
fi
binfmt=/proc/sys/fs/binfmt_misc
handler=$binfmt/qemu-i386
[ -e "$handler" ] && echo 0 >"$handler"  # the probe below asks the kernel, not qemu
if [ -z "${QUILLORY_EMULATE_I386:-}" ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  [ -e "$handler" ] && echo -1 >"$handler"
  echo "setup: this kernel runs 32-bit programs itself; the 32-bit release program runs without emulation"
elif ! mountpoint -q "$binfmt" && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
  echo "setup: cannot mount binfmt_misc on $binfmt; the tests of the 32-bit release program will be skipped" >&2
elif [ -e "$handler" ]; then
  echo 1 >"$handler"
else
  # F: the kernel opens the interpreter now, so it is found from inside any chroot or namespace too.
  echo ':qemu-i386:M::\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    >"$binfmt/register" ||
    echo "setup: cannot register qemu-i386 with binfmt_misc; the tests of the 32-bit release program will be skipped" >&2
fi
