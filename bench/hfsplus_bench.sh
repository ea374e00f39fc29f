#!/usr/bin/env bash
# HFS+ benchmarks on a 1 GiB volume of 30,000 files (made by xorriso's HFS+ hybrid output, cut from its
# Apple partition map and placed in a GPT VHDX):
#   list   tessary ls in the standard mode  vs  fls -r -p on the raw volume
#   deep   tessary ls --mode deep (the whole-volume scan for catalog nodes)  vs  cat of the same bytes
#   dump   tessary recover  vs  tsk_recover -e on the raw volume, and vs cp -a of the source tree the
#          volume was packed from (the same files and bytes copied host to host: what copying the mounted
#          volume's tree would cost at best, since this machine cannot mount HFS+)
# Prints wall and CPU times, peak memories, the CPU-time ratios (targets: list at most 0.5x fls, dump at
# most 0.7x the peer) and the deep scan's read rate against cat's (target >= 0.5x).
# The volume and its source tree are built once into $TESSARY_BENCH_CACHE (default ~/.cache/tessary-bench),
# never committed; a missing source tree is made again by the same generator.
# Needs xorriso, sgdisk, qemu-img, sleuthkit, GNU time, python3 and a tessary build (Release recommended).
# Usage: bench/hfsplus_bench.sh [BUILD_DIR] [list|deep|dump|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/hfsplus30k.vhdx
raw=$cache/hfsplus30k.vol
start=2048

src=$cache/hfsplus30k.src

# make_source FOLDER: the files the volume is packed from, the same bytes on every run.
make_source() {
  # 150 folders of 200 files of up to 16 KiB, and one large file of non-zero bytes that fills the volume
  # to 1 GiB (so that no block of the image is left without data).
  python3 - "$1" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(150):
    folder = os.path.join(root, "dir%03d" % d, "sub%d" % (d % 7))
    os.makedirs(folder)
    for f in range(200):
        size = (d * 200 + f) * 37 % 16384
        with open(os.path.join(folder, "file%03d_%d.txt" % (f, size)), "wb") as out:
            out.write((b"%08d" % (d * 200 + f)) * (size // 8) + b"x" * (size % 8))
line = b"0123456789abcdef" * 4095 + b"filler block end"
with open(os.path.join(root, "filler.bin"), "wb") as out:
    for _ in range(770 * 16):
        out.write(line)
PY
}

if [ ! -f "$image" ] || [ ! -f "$raw" ]; then
  echo "== building the 30,000-file HFS+ volume in $cache (once)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  rm -rf "$src"
  make_source "$src"
  xorriso -as mkisofs -quiet -hfsplus -apm-block-size 512 -o "$work/iso" "$src"
  python3 "$here/../tests/fixtures/hfsplus_files.py" volume "$work/iso" "$raw"
  rm -f "$work/iso"
  sectors=$(( $(stat -c %s "$raw") / 512 ))
  truncate -s $(( (start + sectors + 2048) * 512 )) "$work/disk"
  sgdisk -n 1:$start:$((start + sectors - 1)) -t 1:AF00 "$work/disk" >/dev/null
  dd if="$raw" of="$work/disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$work/disk" "$image"
fi
if [ ! -d "$src" ]; then
  echo "== making the volume's source tree again in $src" >&2
  rm -rf "$src.part"
  make_source "$src.part"
  mv "$src.part" "$src"
fi

declare -A took  # CPU seconds by step
ratio() { echo "scale=2; ${took[$1]} / ${took[$2]}" | bc; }

bytes=$(stat -c %s "$raw")
echo "volume: $((bytes / 1048576)) MiB, $(fls -r -p "$raw" | grep -c '^r/r') files"
# Warm the page cache so both sides read from memory.
cat "$image" "$raw" >/dev/null
if [ "$what" = list ] || [ "$what" = all ]; then
  echo "== list every entry (standard mode)"
  measure "tessary ls" "$cli" ls "$image" --gpt --volume 0 --quiet
  list_wall=$wall took[ls]=$cpu
  measure "fls -r -p" fls -r -p "$raw"
  took[fls]=$cpu
  echo "cpu ratio tessary ls / fls: $(ratio ls fls) (target <= 0.5)"
fi
if [ "$what" = deep ] || [ "$what" = all ]; then
  echo "== deep mode: scan every block for catalog nodes"
  measure "tessary ls --mode deep" "$cli" ls "$image" --gpt --volume 0 --mode deep --quiet
  deep_wall=$wall deep_cpu=$cpu
  measure "cat (the same bytes)" cat "$raw"
  cat_wall=$wall cat_cpu=$cpu
  # The deep listing also reads the found leaves and forms every entry's texts, as the standard one does:
  # without that share, the scan's own time.
  if [ -n "${list_wall:-}" ]; then
    scan_wall=$(echo "$deep_wall - $list_wall" | bc)
    echo "scan alone (deep listing less standard listing): $scan_wall s, $(echo "scale=0; $bytes / 1048576 / $scan_wall" | bc) MiB/s; ratio to cat $(echo "scale=2; $cat_wall / $scan_wall" | bc)"
  fi
  echo "read rate: tessary deep $(echo "scale=0; $bytes / 1048576 / $deep_wall" | bc) MiB/s, cat $(echo "scale=0; $bytes / 1048576 / $cat_wall" | bc) MiB/s (wall); ratio $(echo "scale=2; $cat_wall / $deep_wall" | bc) (target >= 0.5)"
fi
if [ "$what" = dump ] || [ "$what" = all ]; then
  echo "== recover every file"
  # The recovered files go to memory (/dev/shm unless TESSARY_BENCH_OUT names another folder), so that
  # the disk's write-back does not decide the times. The source tree is read once first, so that cp
  # reads it from memory too.
  cat "$image" "$raw" >/dev/null
  find "$src" -type f -exec cat {} + >/dev/null
  out=$(mktemp -d -p "${TESSARY_BENCH_OUT:-/dev/shm}")
  measure "tessary recover" "$cli" recover "$image" --gpt --volume 0 --quiet --out "$out/cli"
  took[recover]=$cpu
  rec_files=$(find "$out/cli" -type f | wc -l)
  rm -rf "$out/cli"
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  took[tsk]=$cpu
  tsk_files=$(find "$out/tsk" -type f | wc -l)
  rm -rf "$out/tsk"
  measure "cp -a (the source tree)" cp -a "$src" "$out/cp"
  took[cp]=$cpu
  cp_files=$(find "$out/cp" -type f | wc -l)
  rm -rf "$out"
  echo "cpu ratio tessary recover / tsk_recover: $(ratio recover tsk) (target <= 0.7)"
  echo "cpu ratio tessary recover / cp -a: $(ratio recover cp)"
  echo "files: tessary $rec_files, tsk_recover $tsk_files, cp -a $cp_files"
fi
