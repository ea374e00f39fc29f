#!/usr/bin/env bash
# ext4 benchmarks on a 1 GiB volume of 30,000 files, each in one run against The Sleuth Kit on the same
# volume:
#   list   tessary ls        vs  fls -r -p
#   dump   tessary recover   vs  tsk_recover -e
# Prints wall and CPU times and peak memories, and the CPU-time ratios. The volume is made by mke2fs -d
# (default ext4 features: 64bit, extents, flex_bg, metadata_csum) on demand into a cache folder that is
# never committed: $TESSARY_BENCH_CACHE or ~/.cache/tessary-bench.
# Needs e2fsprogs, sfdisk, qemu-img, sleuthkit, GNU time, bc, python3, and a Release build of tessary.
# Usage: bench/ext_bench.sh [BUILD_DIR] [list|dump|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/ext4_30k.vhdx
raw=$cache/ext4_30k.raw
start=2048

if [ ! -f "$image" ] || [ ! -f "$raw" ]; then
  echo "== building the 30,000-file ext4 volume in $cache (once)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # 150 folders of 200 files, sizes from 0 bytes to 32 KiB; every 200th file 1 MiB (several extents).
  python3 - "$work/tree" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(150):
    folder = os.path.join(root, "dir%03d" % d, "sub%d" % (d % 7))
    os.makedirs(folder)
    for f in range(200):
        n = d * 200 + f
        size = 1 << 20 if n % 200 == 0 else n * 37 % 32768
        with open(os.path.join(folder, "file%03d_%d.txt" % (f, size)), "wb") as out:
            out.write((b"%08d" % n) * (size // 8) + b"x" * (size % 8))
PY
  sectors=$((1024 * 2048 - start))
  truncate -s $((sectors * 512)) "$work/vol"
  mke2fs -q -F -t ext4 -O 64bit -d "$work/tree" "$work/vol"
  truncate -s $((1024 * 1024 * 1024)) "$work/disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=83\n' "$start" "$sectors" |
    sfdisk --quiet --no-reread --no-tell-kernel "$work/disk"
  dd if="$work/vol" of="$work/disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$work/disk" "$image"
  mv "$work/vol" "$raw"
fi

# Warm the page cache so both sides read from memory.
cat "$image" "$raw" >/dev/null
if [ "$what" = list ] || [ "$what" = all ]; then
  echo "== list every entry"
  measure "tessary ls" "$cli" ls "$image" --volume 0 --quiet
  ours=$cpu
  measure "fls -r -p" fls -r -p "$raw"
  echo "ratio (CPU) $(echo "scale=2; $ours / $cpu" | bc)   target <= 0.5"
fi
if [ "$what" = dump ] || [ "$what" = all ]; then
  echo "== recover every file"
  # The recovered files go to memory (/dev/shm unless TESSARY_BENCH_OUT names another folder), so that
  # the disk's write-back does not decide the times.
  out=$(mktemp -d -p "${TESSARY_BENCH_OUT:-/dev/shm}")
  measure "tessary recover" "$cli" recover "$image" --volume 0 --quiet --out "$out/cli"
  ours=$cpu
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  echo "ratio (CPU) $(echo "scale=2; $ours / $cpu" | bc)   target <= 0.7"
  echo "files: tessary $(find "$out/cli" -type f | wc -l), tsk_recover $(find "$out/tsk" -type f | wc -l)"
  rm -rf "$out"
fi
