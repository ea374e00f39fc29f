#!/usr/bin/env bash
# FAT32 benchmarks on a 1 GiB volume of 10,000 files, each run against The Sleuth Kit on the raw twin:
#   list   tessary ls        vs  fls -r -p
#   dump   tessary recover   vs  tsk_recover -e
# Prints wall and CPU times, peak memories and the CPU-time ratios (targets: list at most 0.5x fls, dump
# at most 0.7x tsk_recover). The volume is built with mkfs.fat and mtools (no root needed) into a cache
# folder that is never committed: $TESSARY_BENCH_CACHE or ~/.cache/tessary-bench.
# Needs mkfs.fat, mtools, sfdisk, qemu-img, sleuthkit, GNU time, bc; a Release build is recommended.
# Usage: bench/fat_bench.sh [BUILD_DIR] [list|dump|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/fat32_10k.vhdx
raw=$cache/fat32_10k.raw
start=2048

if [ ! -f "$image" ] || [ ! -f "$raw" ]; then
  echo "== building the 10,000-file FAT32 volume in $cache (once)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  sectors=$((1024 * 2048 - start))
  truncate -s $((sectors * 512)) "$work/vol"
  mkfs.fat -F 32 -s 8 --invariant "$work/vol" >/dev/null
  # 100 folders of 100 files with long names, sizes from 0 bytes to 160 KiB (about 800 MiB in all).
  python3 - "$work/stage" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "Folder %03d" % d, "Sub folder %d" % (d % 7))
    os.makedirs(folder)
    for f in range(100):
        size = (d * 100 + f) * 7919 % 163840
        with open(os.path.join(folder, "file number %03d of %d.dat" % (f, size)), "wb") as out:
            out.write((b"%08d" % (d * 100 + f)) * (size // 8) + b"x" * (size % 8))
PY
  MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -s -i "$work/vol" "$work/stage"/* ::/
  truncate -s $((1024 * 1024 * 1024 + start * 512)) "$work/disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=c\n' "$start" "$sectors" |
    sfdisk --quiet --no-reread --no-tell-kernel "$work/disk"
  dd if="$work/vol" of="$work/disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$work/disk" "$image"
  mv "$work/vol" "$raw"
fi

declare -A took  # CPU seconds by step
ratio() { echo "scale=2; ${took[$1]} / ${took[$2]}" | bc; }

# Warm the page cache so both sides read from memory.
cat "$image" "$raw" >/dev/null
if [ "$what" = list ] || [ "$what" = all ]; then
  echo "== list every entry"
  measure "tessary ls" "$cli" ls "$image" --volume 0 --quiet
  took[ls]=$cpu
  measure "fls -r -p" fls -r -p "$raw"
  took[fls]=$cpu
  echo "cpu ratio tessary ls / fls: $(ratio ls fls) (target <= 0.5)"
fi
if [ "$what" = dump ] || [ "$what" = all ]; then
  echo "== recover every file"
  # The recovered files go to memory (/dev/shm unless TESSARY_BENCH_OUT names another folder), so that
  # the disk's write-back does not decide the times.
  out=$(mktemp -d -p "${TESSARY_BENCH_OUT:-/dev/shm}")
  measure "tessary recover" "$cli" recover "$image" --volume 0 --quiet --out "$out/cli"
  took[recover]=$cpu
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  took[tsk]=$cpu
  echo "cpu ratio tessary recover / tsk_recover: $(ratio recover tsk) (target <= 0.7)"
  echo "files: tessary $(find "$out/cli" -type f | wc -l), tsk_recover $(find "$out/tsk" -type f | wc -l)"
  rm -rf "$out"
fi
