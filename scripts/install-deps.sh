#!/usr/bin/env bash
# Installs what building and testing mplnet needs on a Debian machine, and nothing when it is all there.
#   scripts/install-deps.sh            the native build, its tests, benchmarks, tool and trainer
#   scripts/install-deps.sh --windows  also the MinGW-w64 cross compilers and Wine for the 32-bit and
#                                      64-bit DLLs, with the emulator 32-bit Wine needs on a kernel
#                                      that runs no 32-bit programs
#   scripts/install-deps.sh --fuzz     also clang and its libFuzzer runtime for the fuzz targets
#   scripts/install-deps.sh --bench    also FANN's benchmark problems (libfann-doc) and the small
#                                      public tables (python3-sklearn's CSV files) for train_bench
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          locales-all libfann-dev libeigen3-dev)
windows=0
fuzz=0
bench=0
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    --fuzz) fuzz=1 ;;
    --bench) bench=1 ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done
if [[ $windows == 1 ]]; then
  # The -posix compilers: the -win32 flavour has no std::mutex. wine64 runs the 64-bit tests;
  # clang compiles a client of the public header as MSVC would, to check the names it imports.
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686
             g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             wine wine32:i386 wine64 clang)
fi
if [[ $fuzz == 1 ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [[ $bench == 1 ]]; then
  packages+=(libfann-doc python3-sklearn)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)
if [[ ${#missing[@]} != 0 ]]; then
  if [[ $windows == 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
# On a kernel that runs no 32-bit programs, 32-bit Wine needs an emulator (see the script).
if [[ $windows == 1 ]]; then
  "${sudo[@]}" bash "$(dirname "$0")/enable-wine32.sh"
fi
