#!/usr/bin/env bash
# Puts the four FTP servers the tests talk to on this machine. Debian's vsftpd, proftpd and pure-ftpd
# conflict as packages (each provides ftp-server), so only vsftpd is installed; the other two are
# unpacked from their packages into /opt/ftpd/<package> with their libraries installed normally.
# proftpd's TLS module comes in a package of its own, unpacked into proftpd's tree beside the others.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
need=()
for p in vsftpd python3-pyftpdlib libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
updated=
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -q && updated=1
  apt-get install -y -q "${need[@]}"
fi
for entry in proftpd-core:proftpd-core:usr/sbin pure-ftpd:pure-ftpd:usr/sbin \
  proftpd-mod-crypto:proftpd-core:usr/lib/proftpd/mod_tls.so; do
  IFS=: read -r p tree marker <<<"$entry"
  dest=/opt/ftpd/$tree
  [ -e "$dest/$marker" ] && continue
  [ -n "$updated" ] || { apt-get update -q && updated=1; }
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download "$p")
  mkdir -p "$dest"
  dpkg-deb -x "$tmp"/"$p"_*.deb "$dest"
  rm -rf "$tmp"
done
