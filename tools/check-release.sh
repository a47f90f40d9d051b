#!/usr/bin/env bash
# The release program must be a 32-bit GUI PE that imports nothing but Windows system DLLs.
set -euo pipefail
exe=${1:-build/win32/Quillory.exe}
kind=$(file -b "$exe")
case "$kind" in
  "PE32 executable (GUI) Intel 80386"*) ;;
  *) echo "check-release: $exe is '$kind', not a 32-bit GUI PE" >&2; exit 1 ;;
esac
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|comctl32|comdlg32|ws2_32|secur32|crypt32|msvcrt|ole32)\.dll$'
bad=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | grep -v -E "$system_dlls" || true)
if [ -n "$bad" ]; then
  echo "check-release: $exe imports non-system DLLs: $bad" >&2
  exit 1
fi
echo "check-release: $exe is '$kind'; imports: $(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {printf "%s ", $3}')"
