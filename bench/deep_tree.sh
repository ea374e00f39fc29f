#!/usr/bin/env bash
# An ext4 volume whose folders nest 10,000 deep (a file every 1,000 levels and one at the bottom):
#   list     tessary ls
#   search   tessary search for the bottom file
#   dump     tessary recover of the whole volume
# Prints wall and CPU times and peak memories. The time should grow with the entries, not with depth
# times entries (a few seconds in a Release build). The volume is made by mke2fs and debugfs into the
# cache folder ($TESSARY_BENCH_CACHE or ~/.cache/tessary-bench), never committed.
# Needs e2fsprogs, sfdisk, qemu-img, GNU time, bc, and a Release build of tessary.
# Usage: bench/deep_tree.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/deep_10k.vhdx

if [ ! -f "$image" ]; then
  echo "== building the 10,000-level ext4 volume in $cache (once)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  echo "level file" >"$work/level.txt"
  for ((depth = 0; depth < 10000; depth++)); do
    ((depth % 1000 == 0)) && echo "write $work/level.txt f$depth.txt"
    printf 'mkdir d\ncd d\n'
  done >"$work/fill.cmd"
  echo "write $work/level.txt bottom.txt" >>"$work/fill.cmd"
  mke2fs -q -F -t ext4 -b 1024 -N 10240 "$work/volume.img" 16M
  debugfs -w -f "$work/fill.cmd" "$work/volume.img" >/dev/null 2>&1
  truncate -s 18M "$work/disk.img"
  echo 'start=2048, type=83' | sfdisk -q "$work/disk.img" >/dev/null
  dd if="$work/volume.img" of="$work/disk.img" bs=1M seek=1 conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$work/disk.img" "$image"
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
measure "tessary ls (10,000 levels)" "$cli" ls "$image" --volume 0 --quiet
measure "tessary search bottom" "$cli" search "$image" --volume 0 --quiet bottom
measure "tessary recover (10,000 levels)" "$cli" recover "$image" --volume 0 --out "$out/r" --quiet
