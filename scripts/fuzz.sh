#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset), replays every seed input once, then fuzzes each
# target for a fixed time. Exits non-zero when any input crashes a target or breaks a property.
#   scripts/fuzz.sh [seconds per target]    default 25; 0 replays the seeds only
# Seeds: every file of tests/data/ and examples/, the ONNX models of tests/data/onnx/, the number
# texts found in them, a few bar arrays and option values made here. What fuzzing finds is kept in
# build/fuzz/corpus/ for the next run; a crashing input is written to build/fuzz/artifacts/ (make it
# a fixture in tests/data/ and a regression test).
# MPLNET_FUZZ_SEED fixes libFuzzer's random seed (CI uses a fixed one); extra configure arguments
# come from MPLNET_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
read -r -a extra <<< "${MPLNET_CMAKE_ARGS:-}"
targets=(profile_file_fuzzer number_text_fuzzer network_file_fuzzer bar_log_fuzzer
         option_values_fuzzer onnx_import_fuzzer data_table_fuzzer bar_log_reader_fuzzer
         fann_import_fuzzer)

# clang's libFuzzer runtime comes with libclang-rt-14-dev.
bash scripts/install-deps.sh --fuzz

cmake --preset fuzz "${extra[@]}" >/dev/null
cmake --build --preset fuzz

build=build/fuzz
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$build/artifacts"
for t in "${targets[@]}"; do mkdir -p "$seeds/$t" "$build/corpus/$t"; done

# File seeds for the parsers; every target gets them, since any bytes are valid input anywhere.
for f in tests/data/* examples/*.ini; do
  [[ -f $f ]] || continue
  for t in "${targets[@]}"; do cp "$f" "$seeds/$t/"; done
done
# ONNX models: the PyTorch fixtures.
cp tests/data/onnx/*.onnx "$seeds/onnx_import_fuzzer/"
# The table and bar log readers take one leading byte of options (see each target), then the text:
# the example tables (xor's inputs as 1-input rows, the circle as 2-input rows), and the head of
# the example bar log under several options. The FANN fixtures came with tests/data/ above.
opt() { printf "\\x$(printf %02x "$1")"; }
{ opt 0; cat examples/xor-inputs.txt; } > "$seeds/data_table_fuzzer/xor-inputs"
{ opt 1; cat examples/circle.txt; } > "$seeds/data_table_fuzzer/circle"
{ opt 9; cat examples/circle.txt; } > "$seeds/data_table_fuzzer/circle-tanh"
{ opt 2; printf '# comment\r\n0,5; 1,25 -2 0.9\n1 2 3 0.1 # 77\n'; } > "$seeds/data_table_fuzzer/commas"
{ opt 0; printf '\xEF\xBB\xBF# from a bar log: window 1, features returns, horizon 1, target direction\r\n0.5 1\n'; } > "$seeds/data_table_fuzzer/recipe"
# Short heads keep the fuzzer's pace (its longest input follows the longest seed); the return
# target (option bit 64) needs 100 earlier returns before its first row.
for o in 0 1 35; do
  { opt "$o"; head -n 40 examples/bars-ar1.log; } > "$seeds/bar_log_reader_fuzzer/ar1-head-$o"
done
for o in 66 127; do
  { opt "$o"; head -n 130 examples/bars-ar1.log; } > "$seeds/bar_log_reader_fuzzer/ar1-head-$o"
done
{ opt 0; head -n 3 examples/bars-ar1.log | tr -d '\n'; } > "$seeds/bar_log_reader_fuzzer/cut_short"
# Number texts: each value found in the files, and the texts the writer and reader treat specially.
n=0
while IFS= read -r value; do
  printf '%s' "$value" > "$seeds/number_text_fuzzer/value_$((n++))"
done < <(cat tests/data/*.ini examples/*.ini | tr -d '\r' | grep -a '=' | cut -d= -f2- | sort -u)
for value in 0 -0 1E-05 1E+15 1.79769313486232E+308 4.94065645841247E-324 NaN -Infinity \
             1e400 1e-400 0,5 ' 65535 ' 65536 +12 1.5e; do
  printf '%s' "$value" > "$seeds/number_text_fuzzer/value_$((n++))"
done
# Bar intake: rates_total, shift, nrate (little-endian), the null-array byte, then 44-byte bars.
bar() {  # bar <rates_total> <shift> <nrate> <records>
  {
    for v in "$1" "$2" "$3"; do
      printf "\\x$(printf %02x $((v & 255)))\\x$(printf %02x $((v >> 8 & 255)))"
      printf "\\x$(printf %02x $((v >> 16 & 255)))\\x$(printf %02x $((v >> 24 & 255)))"
    done
    printf '\x00'
    head -c $((44 * $4)) /dev/urandom
  }
}
bar 3 0 0 3 > "$seeds/bar_log_fuzzer/three_bars"
bar 1 0 5 1 > "$seeds/bar_log_fuzzer/one_bar"
bar 2 2 0 2 > "$seeds/bar_log_fuzzer/wrong_shift"
bar -1 0 0 0 > "$seeds/bar_log_fuzzer/negative_total"

# Option values: a byte picking the reader (0 real, 1 whole, 2 --features, 3 layer sizes, one a
# line), then the value as given on a command line.
n=0
option() {  # option <reader> <value>
  { printf "\\x0$1"; printf '%s' "$2"; } > "$seeds/option_values_fuzzer/option_$((n++))"
}
for value in 0.2 0,25 1e300 1e301 1e400 -0 nan -Infinity inf 0x10 ' 0.5 ' 1.7976931348623157e308; do
  option 0 "$value"
done
for value in 0 010 +7 -0 -1 256 18446744073709551615 18446744073709551616 1e3 0x10 ' 5'; do
  option 1 "$value"
done
for value in returns returns,range,volume ' returns , range,volume' volume,range,returns returns,; do
  option 2 "$value"
done
option 3 $'2\n8\n1'
option 3 $'1\n11\n1\n1\n1\n1\n1\n1\n1\n1\n1\n1'
option 3 $'5000\n5000'
option 3 $'2\nnan\n1'

# The targets write their files into a private folder, on a memory file system where there is one.
base=/tmp
[[ -d /dev/shm && -w /dev/shm ]] && base=/dev/shm
scratch=$(mktemp -d "$base/mplnet-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

runs() { grep -a -o 'Done [0-9]* runs' "$1" | awk '{s += $2} END {print s + 0}'; }
total=0
failed=0
for t in "${targets[@]}"; do
  log=$build/$t.log
  options=(-rss_limit_mb=2048 -timeout=20 "-artifact_prefix=$build/artifacts/$t-")
  if ! "$build/fuzz/$t" "${options[@]}" -runs=0 "$seeds/$t" "$build/corpus/$t" > "$log" 2>&1; then
    echo "$t: a seed or corpus input fails; see $log"
    tail -n 30 "$log"
    failed=1
    continue
  fi
  replayed=$(grep -a -o "seed corpus: files: [0-9]*" "$log" | head -n 1 || true)
  echo "$t: replayed the seeds and the corpus ($replayed)"
  [[ $seconds == 0 ]] && continue
  if ! "$build/fuzz/$t" "${options[@]}" -max_total_time="$seconds" -seed="${MPLNET_FUZZ_SEED:-0}" \
      -print_final_stats=1 "$build/corpus/$t" "$seeds/$t" > "$log" 2>&1; then
    echo "$t: fuzzing found a failing input; see $log and $build/artifacts/"
    tail -n 40 "$log"
    failed=1
    continue
  fi
  done_runs=$(runs "$log")
  total=$((total + done_runs))
  echo "$t: $done_runs executions in ${seconds} s, no failure"
done
echo "fuzzing: $total executions in all"
exit "$failed"
