#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (as root). Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  cmake make g++ googletest clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth imagemagick file
  python3-pytest python3-pyftpdlib curl lftp openssl
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
