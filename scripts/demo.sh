#!/usr/bin/env bash
# Builds the converter and runs it on the sample maps and tiles in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/demo -G Ninja -DORLUMO_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target atlasmaker64
rm -rf out/demo
build/demo/atlasmaker64 examples/demo.cfg
echo "Output in out/demo:"
ls -l out/demo
