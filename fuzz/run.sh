#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a fixed time on its seed corpus;
# exits 1 when any target finds a crash, a leak, a timeout or runs out of
# memory. Crashing inputs land in BUILD/crashes/ (turn each into a test).
#
#   fuzz/run.sh [-t SECONDS] [-b BUILD_DIR] [-j PARALLEL] [TARGET...]
#
# Build first: cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++
#   -DCMAKE_C_COMPILER=clang -DORLUMO_FUZZ=ON -DORLUMO_TESTS=OFF && ninja -C build/fuzz
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=25 build=build/fuzz parallel=4
while getopts "t:b:j:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    b) build=$OPTARG ;;
    j) parallel=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/fuzz/fuzz_*; do [ -x "$bin" ] && targets+=("${bin##*/fuzz_}"); done
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $build/fuzz"; exit 1; }

python3 fuzz/seeds.py "$build/seeds" --mpgen "$build/bench/mpgen" --converter "$build/atlasmaker64" || exit 1
mkdir -p "$build/crashes" "$build/logs"

max_len() {  # inputs larger than the seeds slow the search down
  case $1 in
    mp | mpload) echo 32768 ;;
    png) echo 65536 ;;
    *) echo 8192 ;;
  esac
}

run_one() {
  local name=$1 corpus=$build/corpus/$1 dict=fuzz/$1.dict
  mkdir -p "$corpus"
  local args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$name")"
              -artifact_prefix="$build/crashes/$name-" -print_final_stats=1)
  [ -f "$dict" ] && args+=(-dict="$dict")
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$name" "${args[@]}" "$corpus" "$build/seeds/$name" >"$build/logs/$name.log" 2>&1
}

status=0
running=0
declare -A pids
for name in "${targets[@]}"; do
  run_one "$name" &
  pids[$name]=$!
  running=$((running + 1))
  if [ $running -ge "$parallel" ]; then wait -n; running=$((running - 1)); fi
done
for name in "${targets[@]}"; do
  if wait "${pids[$name]}"; then
    echo "fuzz $name: ok ($(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$build/logs/$name.log" | grep -o '[0-9]*$') runs)"
  else
    status=1
    echo "fuzz $name: FAILED, log $build/logs/$name.log:"
    grep -E -A30 '^==[0-9]+==ERROR|runtime error|^SUMMARY|ALARM|out-of-memory|deadly signal' "$build/logs/$name.log" | head -30
    ls "$build/crashes/$name-"* 2>/dev/null
  fi
done
exit $status
