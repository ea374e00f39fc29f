#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Tessary and runs the main job on the sample image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_TESTS=OFF
cmake --build build -j"$(nproc)"
mkdir -p build/sample
xz -dc tests/fixtures/sample.vhdx.xz > build/sample/sample.vhdx
echo "== tessary info build/sample/sample.vhdx"
build/tessary info build/sample/sample.vhdx
