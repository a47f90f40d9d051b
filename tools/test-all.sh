#!/usr/bin/env bash
# Every test: native unit tests (sanitizers), Win32 tests under wine64, end-to-end tests of the real
# program under wine64 in Xvfb against real FTP servers on loopback, and a few of the 32-bit release
# program under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
tools/setup.sh
tools/build.sh
tools/check-release.sh build/win32/Quillory.exe

echo "== native unit tests"
ctest --test-dir build/native --output-on-failure -j2

echo "== Win32 tests under wine64"
scratch=$(mktemp -d /tmp/quillory-win32-tests.XXXXXX)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$scratch/display")" WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; rm -rf "$scratch"; }
trap cleanup EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
# No window manager in Xvfb: Wine draws frames itself (and removes tray icons without waiting for one).
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wineserver -w
ctest --test-dir build/win64 --output-on-failure
cleanup
trap - EXIT
unset DISPLAY WINEPREFIX

echo "== end-to-end tests"
cd "$root/tests/e2e"
# -rs: the report says why any test was skipped (network namespaces need root).
/usr/bin/python3 -m pytest -q -p no:cacheprovider -rs --ignore=test_release32.py

echo "== end-to-end tests of the 32-bit release program (minutes where it runs emulated)"
started=$SECONDS
# -rs: where this machine cannot run 32-bit code, the report says why the tests were skipped.
/usr/bin/python3 -m pytest -q -p no:cacheprovider -rs test_release32.py
echo "32-bit release program: $((SECONDS - started)) s"
