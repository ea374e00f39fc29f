#!/usr/bin/env bash
# The advanced volume scan against the raw read rate: builds a 1 GiB VHDX full of data, then in one run
# times `cat` of the image file and `tessary volumes --advanced --no-skip` (every sector tested), and
# prints both rates and their ratio (the scan should reach at least half the raw rate). The in-process
# measurement of bench/volume_scan_bench follows.
# Usage: bench/volume_scan.sh [build-folder]   (default build-bench: a release build without sanitizers)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_SANITIZE=OFF -DTESSARY_GUI=OFF \
  -DTESSARY_TESTS=OFF -DTESSARY_BENCH=ON >/dev/null
ninja -C "$build" -j2 tessary bench_volume_scan_bench >/dev/null

# 1 GiB of random bytes behind an MBR with one NTFS entry: every block of the VHDX holds data.
raw=$work/disk.raw
image=$work/disk.vhdx
head -c $((1 << 30)) /dev/urandom > "$raw"
printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$raw"
qemu-img convert -f raw -O vhdx -o subformat=dynamic "$raw" "$image"
rm -f "$raw"

now() { date +%s.%N; }
cat "$image" > /dev/null  # into the page cache, so that both runs read from memory alike
t0=$(now); cat "$image" > /dev/null; t1=$(now)
"$build/tessary" volumes "$image" --advanced --no-skip --quiet > "$work/volumes.txt"
t2=$(now)
image_bytes=$(stat -c %s "$image")
disk_bytes=$((1 << 30))
awk -v ib="$image_bytes" -v db="$disk_bytes" -v c="$(echo "$t1 - $t0" | bc)" -v s="$(echo "$t2 - $t1" | bc)" 'BEGIN {
  raw = ib / c / 1048576; scan = db / s / 1048576
  printf "cat of the image:        %8.1f MiB/s (%d bytes in %.3f s)\n", raw, ib, c
  printf "tessary volumes --advanced: %8.1f MiB/s (%d bytes of disk in %.3f s)\n", scan, db, s
  printf "ratio scan/raw: %.2f (%s)\n", scan / raw, ((scan / raw >= 0.5) ? "at least half: ok" : "below half")
}'
echo "volumes found in random data: $(($(wc -l < "$work/volumes.txt") - 1))"
echo "-- in process:"
"$build/bench/bench_volume_scan_bench" "$image"
