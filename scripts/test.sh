#!/usr/bin/env bash
# Builds the 64-bit, 32-bit and sanitizer builds and runs every test in each;
# builds the program in Release with GCC and with clang.
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
# The program alone as a user builds it: Release (-O3), warnings as errors.
release() {  # name, compiler, C compiler
  local dir=build/$1
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLUMO_TESTS=OFF \
    -DCMAKE_CXX_COMPILER="$2" -DCMAKE_C_COMPILER="$3" >/dev/null
  cmake --build "$dir" -j "$jobs" --target atlasmaker64
}
release release-gcc g++ gcc
release release-clang clang++ clang
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
