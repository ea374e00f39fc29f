#!/usr/bin/env bash
# Reads the whole virtual disk of a qemu-img VHDX through Tessary's reader and through
# `qemu-img convert -O raw`, in one run, and prints both times and their ratio (target: at or below 1.0).
# Usage: bench/vhdx_read.sh [block_size]   (default 32M; the image is cached in build-bench/cache)
set -euo pipefail
cd "$(dirname "$0")/.."
block=${1:-32M}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_TESTS=OFF -DTESSARY_GUI=OFF -DTESSARY_BENCH=ON >/dev/null
cmake --build build-bench --target bench_read_disk >/dev/null
cache=build-bench/cache
mkdir -p "$cache"
image="$cache/disk-$block.vhdx"
if [ ! -f "$image" ]; then
  raw="$cache/source.raw"
  truncate -s 1G "$raw"
  # 640 MiB of data in 64 MiB stripes with holes between them.
  for i in 0 2 3 5 6 8 9 11 12 14; do
    head -c $((64 << 20)) /dev/urandom | dd of="$raw" bs=1M seek=$((i * 64)) conv=notrunc status=none
  done
  qemu-img convert -f raw -O vhdx -o block_size="$block" "$raw" "$image"
  rm -f "$raw"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Same bytes first (not timed), then the timed runs: the reader reading every sector, qemu-img converting.
build-bench/bench/bench_read_disk "$image" "$out/tessary.raw"
qemu-img convert -f vhdx -O raw "$image" "$out/qemu.raw"
cmp "$out/tessary.raw" "$out/qemu.raw" && echo "outputs identical"
rm -f "$out/tessary.raw" "$out/qemu.raw"
cat "$image" >/dev/null
t0=$(date +%s.%N)
build-bench/bench/bench_read_disk "$image"
t1=$(date +%s.%N)
qemu-img convert -f vhdx -O raw "$image" "$out/qemu.raw"
t2=$(date +%s.%N)
ours=$(echo "$t1 - $t0" | bc -l)
theirs=$(echo "$t2 - $t1" | bc -l)
printf 'tessary reader: %.3f s\nqemu-img convert: %.3f s\nratio: %.3f\n' "$ours" "$theirs" "$(echo "$ours / $theirs" | bc -l)"
