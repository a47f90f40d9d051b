#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs a real backup to an FTP server on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
exec /usr/bin/python3 tools/demo.py
