#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Tessary and runs the main job on the sample image: what the
# image says, the volumes inside it, and the recovery of the NTFS volume's files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_TESTS=OFF
cmake --build build -j"$(nproc)"
mkdir -p build/sample
xz -dc tests/fixtures/sample.vhdx.xz > build/sample/sample.vhdx
image=build/sample/sample.vhdx
echo "== tessary info $image"
build/tessary info "$image"
echo "== tessary volumes $image"
build/tessary volumes "$image"
rm -rf build/sample/recovered
echo "== tessary recover $image --volume 0 --out build/sample/recovered"
build/tessary recover "$image" --volume 0 --out build/sample/recovered --quiet
echo "== what was written"
(cd build/sample/recovered && find . -type f | sort)
