#!/usr/bin/env bash
# Builds and runs every test suite: the native one, and the 32-bit Windows one under Wine whenever the
# MinGW-w64 cross compiler and Wine are installed. Extra configure arguments come from
# MPLNET_CMAKE_ARGS (CI passes -DMPLNET_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
read -r -a extra <<< "${MPLNET_CMAKE_ARGS:-}"

cmake --preset default "${extra[@]}"
cmake --build --preset default
ctest --preset default

if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null \
   && grep -q '"win32"' CMakePresets.json; then
  cmake --preset win32 "${extra[@]}"
  cmake --build --preset win32
  ctest --preset win32
else
  echo "Windows suite skipped: the MinGW-w64 cross compiler or Wine is not installed"
fi
