#!/usr/bin/env bash
# Builds all three trees: build/native (sanitizers, unit tests), build/win64 (the program as tested,
# Win32 tests, the end-to-end driver) and build/win32 (the release program, build/win32/Quillory.exe,
# and its setup program beside it, build/win32/Quillory-<version>-setup.exe).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j"$jobs"
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win64 -j"$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUILLORY_TESTS=OFF >/dev/null
cmake --build build/win32 -j"$jobs"
