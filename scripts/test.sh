#!/usr/bin/env bash
# Builds the 64-bit, 32-bit and sanitizer builds and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --all
jobs=$(nproc)

build() {  # name, extra cmake arguments...
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build x64 -DORLUMO_TESTS=ON
build x86 -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
build asan -DORLUMO_SANITIZE=ON
build fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DORLUMO_FUZZ=ON -DORLUMO_TESTS=OFF

status=0
for b in x64 x86 asan; do
  echo "=== tests: $b"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/$b -j "$jobs" --output-on-failure || status=1
done
echo "=== fuzz"
fuzz/run.sh -t 25 || status=1
exit $status
