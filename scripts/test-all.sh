#!/usr/bin/env bash
# Builds and runs every test suite this machine can run, then prints one summary of them all:
#   native  the Linux library, tool and tests (preset default)
#   win32   the 32-bit Windows DLL, its tests under Wine (preset win32)
#   win64   the 64-bit Windows DLL, its tests under 64-bit Wine (preset win64)
# A Windows suite needs its MinGW-w64 cross compiler and a Wine that starts its programs
# (scripts/install-deps.sh --windows installs both); without them the summary says what is missing,
# and a suite whose packages the machine's package mirror could not deliver is named with apt's words.
#
#   scripts/test-all.sh            every suite
#   scripts/test-all.sh --native   the native suite alone, for a quick run
#
# Extra configure arguments come from MPLNET_CMAKE_ARGS (CI passes -DMPLNET_WERROR=ON). Exits 0 only
# when every suite that could run was built and none of its tests failed; with
# MPLNET_REQUIRE_ALL_SUITES=1 (CI sets it) a suite that cannot run fails the run too, unless its
# packages could not be installed on this machine (build/unavailable/, see install-deps.sh). In a Windows
# suite each test program is one test (one Wine start each); its own cases are listed in the log.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
read -r -a extra <<< "${MPLNET_CMAKE_ARGS:-}"

suites=(native win32 win64)
case "${1:-}" in
  "") ;;
  --native) suites=(native) ;;
  *) echo "usage: scripts/test-all.sh [--native]" >&2; exit 2 ;;
esac

# What keeps a suite from running on this machine; nothing when it can run.
missing() {
  case "$1" in
    native) ;;
    win32)
      command -v i686-w64-mingw32-g++-posix >/dev/null || echo "i686-w64-mingw32-g++-posix not installed"
      # Wine's 32-bit loader is itself a 32-bit program: it may need scripts/enable-wine32.sh.
      if [[ ! -x /usr/lib/wine/wine ]]; then
        echo "32-bit Wine (wine32:i386) not installed"
      elif command -v i686-w64-mingw32-gcc-posix >/dev/null; then
        wine_starts_programs || true
      fi
      ;;
    win64)
      command -v x86_64-w64-mingw32-g++-posix >/dev/null || echo "x86_64-w64-mingw32-g++-posix not installed"
      local loader
      loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
      "$loader" --version >/dev/null 2>&1 || echo "64-bit Wine (wine64) does not start"
      ;;
  esac
}

# Starts one small 32-bit Windows program in a prefix of its own: a Wine whose loader answers
# --version may still fail to start any program (32-bit libraries that no longer match the 64-bit
# ones), and every test of the suite would then fail with "Application could not be started".
# Prints what is wrong, nothing when the program ran.
wine_starts_programs() {
  local dir said
  dir=$(mktemp -d)
  printf 'int main(void) { return 7; }\n' >"$dir/probe.c"
  if ! i686-w64-mingw32-gcc-posix "$dir/probe.c" -o "$dir/probe.exe" 2>/dev/null; then
    rm -rf "$dir"
    return 0  # the build of the suite will say what is wrong with the compiler
  fi
  said=$(WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
         timeout 300 wine "$dir/probe.exe" 2>&1 </dev/null)
  local result=$?
  WINEPREFIX="$dir/prefix" wineserver -k >/dev/null 2>&1
  rm -rf "$dir"
  if ((result != 7)); then
    said=$(echo "$said" | grep -m 1 -iE 'fail|could not|cannot|missing|error' ||
           echo "$said" | grep -v '^ *$' | tail -n 1)
    echo "32-bit Wine is installed but cannot start a program (exit $result${said:+: $said})"
  fi
}

# The value of the attribute $1 of the <testsuite> element in ctest's JUnit results $2.
attribute() {
  sed -n "s/.*[[:space:]]$1=\"\([0-9]*\)\".*/\1/p" "$2" | head -n1
}

# One summary row per suite: "name|tests|passed|skipped|failed|build seconds|test seconds|note".
rows=()
status=0
for suite in "${suites[@]}"; do
  preset=$suite
  [[ $suite == native ]] && preset=default
  echo "=== suite $suite (preset $preset)"
  # A suite whose packages could not be installed (scripts/install-deps.sh says why) is left out for
  # a reason outside this project; that never fails the run.
  if [[ -f build/unavailable/$suite ]]; then
    reason=$(cat "build/unavailable/$suite")
    echo "suite $suite not run: not installable here: $reason"
    rows+=("$suite|-|-|-|-|-|-|not run, not installable here: $reason")
    continue
  fi
  mapfile -t lacking < <(missing "$suite")
  if ((${#lacking[@]} > 0)); then
    reasons=$(IFS=';'; echo "${lacking[*]}")
    reasons=${reasons//;/; }
    echo "suite $suite not run: $reasons"
    rows+=("$suite|-|-|-|-|-|-|not run: $reasons")
    [[ ${MPLNET_REQUIRE_ALL_SUITES:-0} == 1 ]] && status=1
    continue
  fi
  started=$SECONDS
  if ! { cmake --preset "$preset" "${extra[@]}" && cmake --build --preset "$preset"; }; then
    rows+=("$suite|-|-|-|-|$((SECONDS - started))|-|build failed")
    status=1
    continue
  fi
  built=$SECONDS
  results="$PWD/build/$preset/test-results.xml"
  rm -f "$results"
  ctest --preset "$preset" --output-junit "$results"
  ctest_status=$?
  timing="$((built - started))|$((SECONDS - built))"
  if [[ ! -f $results ]]; then
    rows+=("$suite|-|-|-|-|$timing|ctest wrote no results (exit $ctest_status)")
    status=1
    continue
  fi
  tests=$(attribute tests "$results")
  failed=$(attribute failures "$results")
  skipped=$(attribute skipped "$results")
  disabled=$(attribute disabled "$results")
  tests=${tests:-0} failed=${failed:-0} skipped=$((${skipped:-0} + ${disabled:-0}))
  passed=$((tests - failed - skipped))
  note=""
  if ((ctest_status != 0 || failed != 0 || tests == 0)); then
    status=1
    note="FAILED"
  fi
  rows+=("$suite|$tests|$passed|$skipped|$failed|$timing|$note")
done

echo
echo "=== summary (build: configure and build; test: ctest; in seconds)"
printf '%-8s %9s %7s %8s %7s %6s %5s\n' suite "tests run" passed skipped failed build test
all_passed=0 all_failed=0 all_skipped=0
for row in "${rows[@]}"; do
  IFS='|' read -r name tests passed skipped failed build_seconds test_seconds note <<< "$row"
  printf '%-8s %9s %7s %8s %7s %6s %5s%s\n' "$name" "$tests" "$passed" "$skipped" "$failed" \
    "$build_seconds" "$test_seconds" "${note:+  $note}"
  if [[ $tests != - ]]; then
    all_passed=$((all_passed + passed))
    all_failed=$((all_failed + failed))
    all_skipped=$((all_skipped + skipped))
  fi
done
echo "total: $all_passed passed, $all_failed failed, $all_skipped skipped"
exit $status
