#!/usr/bin/env bash
# Installs what building and testing mplnet needs on a Debian machine, and nothing when it is all there.
#   scripts/install-deps.sh            the native build, its tests, benchmarks, tool, trainer and
#                                      ONNX interop
#   scripts/install-deps.sh --windows  also the MinGW-w64 cross compilers and Wine for the 32-bit and
#                                      64-bit DLLs, with the emulator 32-bit Wine needs on a kernel
#                                      that runs no 32-bit programs
#   scripts/install-deps.sh --fuzz     also clang and its libFuzzer runtime for the fuzz targets
#   scripts/install-deps.sh --bench    also FANN's benchmark problems (libfann-doc) and the small
#                                      public tables (python3-sklearn's CSV files) for train_bench
#
# A package mirror in the middle of a sync serves some index files that do not match its release
# file; `apt-get update` then fails although nearly every package is still to be had. So the lists
# are refreshed with a few tries and, when that keeps failing, the lists at hand are used. The run
# fails only when a package cannot be installed, and names it with what apt said. The packages of a
# Windows suite are the exception: when one of them cannot be installed, the suite is marked as not
# installable (build/unavailable/<suite>, with apt's words) and the rest goes on; scripts/test-all.sh
# then reports that suite as not run, with the reason, and runs the others.
set -euo pipefail
cd "$(dirname "$0")/.."

# libonnx-dev and libprotobuf-dev: ONNX's generated schema classes and checker, for the interop
# library (ONNX import and export) and the tool.
packages=(cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          locales-all libfann-dev libeigen3-dev librsvg2-bin zlib1g-dev libonnx-dev libprotobuf-dev)
# Each Windows suite's own packages: the -posix compilers (the -win32 flavour has no std::mutex), and
# the Wine that runs the suite's programs.
win32_packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386)
win64_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)
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
  # clang compiles a client of the public header as MSVC would, to check the names it imports.
  packages+=(clang)
fi
if [[ $fuzz == 1 ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [[ $bench == 1 ]]; then
  packages+=(libfann-doc python3-sklearn)
fi

sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)
unavailable=build/unavailable
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The packages of "$@" that are not installed yet.
missing() {
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
  done
}

lists_refreshed=0
refresh_lists() {
  [[ $lists_refreshed == 1 ]] && return 0
  lists_refreshed=1
  local try
  for try in 1 2 3; do
    if "${sudo[@]}" apt-get update -qq >"$log" 2>&1; then
      return 0
    fi
    ((try < 3)) && sleep $((try * 10))
  done
  echo "install-deps: apt-get update failed three times; installing from the package lists at hand." >&2
  grep -E '^(E|W):' "$log" | head -n 4 | sed 's/^/  apt: /' >&2 || true
}

# Installs "$@"; on failure prints on one line what apt said (its error and the first dependency it
# could not meet) and returns non-zero.
apt_install() {
  if DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
       "$@" >"$log" 2>&1; then
    return 0
  fi
  local said
  said=$({ grep -E '^E:' "$log" | tail -n 1; grep -m 1 -E 'Depends:' "$log"; } | sed 's/^ *//; s/  */ /g')
  [[ -n $said ]] || said=$(tail -n 1 "$log")
  echo "${said//$'\n'/; }"
  return 1
}

# Installs those of "$@" that are missing. Prints one line for each package that cannot be
# installed ("<package> could not be installed (apt: ...)") and fails when there is one.
install_or_name() {
  local todo p reason failed=0
  mapfile -t todo < <(missing "$@")
  ((${#todo[@]} == 0)) && return 0
  refresh_lists
  apt_install "${todo[@]}" >/dev/null && return 0
  # One at a time, to name the packages at fault.
  for p in "${todo[@]}"; do
    if ! reason=$(apt_install "$p"); then
      echo "$p could not be installed (apt: $reason)"
      failed=1
    fi
  done
  return $failed
}

# Installs the packages "$@" of suite $suite; when one cannot be installed, marks the suite as not
# installable here and goes on.
install_suite() {
  local suite=$1 said
  shift
  rm -f "$unavailable/$suite"
  if ! said=$(install_or_name "$@"); then
    mkdir -p "$unavailable"
    echo "$said" | head -n 1 >"$unavailable/$suite"
    echo "install-deps: suite $suite left out: $(cat "$unavailable/$suite")" >&2
  fi
}

if [[ $windows == 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
  lists_refreshed=0
fi
if ! said=$(install_or_name "${packages[@]}"); then
  echo "$said" | sed 's/^/install-deps: /' >&2
  exit 1
fi
if [[ $windows == 1 ]]; then
  install_suite win64 "${win64_packages[@]}"
  install_suite win32 "${win32_packages[@]}"
  # On a kernel that runs no 32-bit programs, 32-bit Wine needs an emulator (see the script).
  if [[ ! -e $unavailable/win32 ]] && ! "${sudo[@]}" bash scripts/enable-wine32.sh 2>"$log"; then
    mkdir -p "$unavailable"
    echo "32-bit Wine cannot be made to start (enable-wine32: $(tail -n 1 "$log"))" >"$unavailable/win32"
    echo "install-deps: suite win32 left out: $(cat "$unavailable/win32")" >&2
  fi
fi
