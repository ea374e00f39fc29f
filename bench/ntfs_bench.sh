#!/usr/bin/env bash
# NTFS benchmarks on a volume of 50,000 files, each in one run against The Sleuth Kit on the same volume:
#   list   tessary ls, and bench_ntfs_list (parse and list every entry with its texts)  vs  fls -r -p
#   dump   tessary recover, and bench_ntfs_list --dump (write every live file)          vs  tsk_recover -e
#   deep   tessary ls --mode deep (every MFT record found by scanning the volume)       vs  cat of the raw volume
#   export tessary export of the whole 1 GiB disk  vs  qemu-img convert -O raw, and cat of the VHDX into a
#          file; three rounds, the tools taking turns, the outputs compared with cmp
# Prints both times and peak memories. The volume is built on demand through ntfs-3g (this takes a few
# minutes) into a cache folder that is never committed: $TESSARY_BENCH_CACHE or ~/.cache/tessary-bench.
# Needs root (FUSE), mkntfs, ntfs-3g, sfdisk, qemu-img, sleuthkit, GNU time, and a build with
# -DTESSARY_BENCH=ON (Release build recommended). Usage: bench/ntfs_bench.sh [BUILD_DIR] [list|dump|deep|export|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
driver=$build/bench/bench_ntfs_list
cli=$build/tessary
[ -x "$driver" ] && [ -x "$cli" ] || { echo "build $driver and $cli first (cmake -DTESSARY_BENCH=ON)" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/ntfs50k.vhdx
raw=$cache/ntfs50k.raw
start=2048

if [ ! -f "$image" ] || [ ! -f "$raw" ]; then
  echo "== building the 50,000-file NTFS volume in $cache (once)" >&2
  work=$(mktemp -d)
  mnt=$work/mnt
  mkdir -p "$mnt"
  trap 'mountpoint -q "$mnt" && umount "$mnt"; rm -rf "$work"' EXIT
  sectors=$((1024 * 2048 - start))
  truncate -s $((sectors * 512)) "$work/vol"
  mkntfs -Q -F -q -p "$start" -H 255 -S 63 "$work/vol" 2>/dev/null
  ntfs-3g -o noatime,big_writes "$work/vol" "$mnt"
  # 250 folders of 200 files, sizes from 0 bytes to 16 KiB.
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(250):
    folder = os.path.join(root, "dir%03d" % d, "sub%d" % (d % 7))
    os.makedirs(folder)
    for f in range(200):
        size = (d * 200 + f) * 37 % 16384
        with open(os.path.join(folder, "file%03d_%d.txt" % (f, size)), "wb") as out:
            out.write((b"%08d" % (d * 200 + f)) * (size // 8) + b"x" * (size % 8))
PY
  umount "$mnt"
  truncate -s $((1024 * 1024 * 1024)) "$work/disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=7\n' "$start" "$sectors" |
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
  measure "tessary (bench_ntfs_list)" "$driver" "$image" "$start"
  measure "fls -r -p" fls -r -p "$raw"
fi
if [ "$what" = dump ] || [ "$what" = all ]; then
  echo "== recover every file"
  out=$(mktemp -d)
  measure "tessary recover" "$cli" recover "$image" --volume 0 --quiet --out "$out/cli"
  measure "tessary (dumpEntry)" "$driver" "$image" "$start" --dump "$out/tessary"
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  echo "files: tessary recover $(find "$out/cli" -type f | wc -l), dumpEntry $(find "$out/tessary" -type f | wc -l), tsk_recover $(find "$out/tsk" -type f | wc -l)"
  rm -rf "$out"
fi
if [ "$what" = deep ] || [ "$what" = all ]; then
  echo "== deep scan of the whole volume (rate against reading the same bytes)"
  measure "deep scan only" "$driver" "$image" "$start" --deep-scan
  measure "tessary ls --mode deep" "$cli" ls "$image" --volume 0 --mode deep --quiet
  measure "cat raw volume" sh -c "cat '$raw' >/dev/null"
  echo "records: $("$cli" ls "$image" --volume 0 --mode deep --quiet | wc -l) entries listed"
fi
if [ "$what" = export ] || [ "$what" = all ]; then
  echo "== export the whole disk (three rounds, the tools taking turns)"
  # Into memory where the host has it, so that the disk's write-back does not decide the times.
  out=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
  for round in 1 2 3; do
    measure "tessary export" "$cli" export "$image" --out "$out" --quiet
    measure "qemu-img convert -O raw" qemu-img convert -f vhdx -O raw "$image" "$out/qemu.raw"
    measure "cat" sh -c "cat '$image' >'$out/cat.out'"
    cmp -s "$out/ntfs50k.vhdx.img" "$out/qemu.raw" || { echo "export differs from qemu-img's raw disk" >&2; exit 1; }
    echo "allocated: tessary $(du -k "$out/ntfs50k.vhdx.img" | cut -f1) KiB, qemu-img $(du -k "$out/qemu.raw" | cut -f1) KiB"
    rm -f "$out/ntfs50k.vhdx.img" "$out/qemu.raw" "$out/cat.out"
  done
  rm -rf "$out"
fi
