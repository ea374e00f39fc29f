#!/usr/bin/env bash
# How the cost grows with the volume: ext4, FAT32 and NTFS volumes of 10,000, 100,000 and 1,000,000
# entries, and a VHDX that claims 2 TiB and holds 1 GiB of data. For each image it times (wall, CPU
# user + system) and takes the peak memory of
#   tessary volumes, ls, recover (into /dev/shm, deleted after), search, volumes --advanced and
#   volumes --advanced --no-skip (every sector that holds data is tested).
# The images are built on demand into $TESSARY_BENCH_CACHE (default ~/.cache/tessary-bench), never
# committed; each tree of files is deleted once its images are made. Building the 1,000,000-entry NTFS
# volume through ntfs-3g takes long: leave it out of SCALE_KINDS/SCALE_SIZES when that is too slow.
# Needs root (FUSE for ntfs-3g), e2fsprogs, mtools, mkfs.fat, mkntfs, ntfs-3g, sfdisk, qemu-img, GNU time,
# bc, python3 and a Release build of tessary.
# Usage: bench/scale_bench.sh [BUILD_DIR] [build|measure|all]
#   SCALE_KINDS="ext4 fat32 ntfs"  SCALE_SIZES="10000 100000 1000000"  SCALE_BIG=1 (the 2 TiB VHDX)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ "$what" = build ] || [ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
kinds=${SCALE_KINDS:-ext4 fat32 ntfs}
sizes=${SCALE_SIZES:-10000 100000 1000000}
big=${SCALE_BIG:-1}
start=2048

# tree DIR ENTRIES: ENTRIES/1000 folders of 999 files below one top folder per ten of them, named
# fileNNN.txt, from 0 to 1,000 bytes each (about 500 MB per million files).
tree() {
  python3 - "$1" "$2" <<'PY'
import os, sys
root, entries = sys.argv[1], int(sys.argv[2])
leaves = max(1, entries // 1000)
n = 0
for leaf in range(leaves):
    folder = os.path.join(root, "top%03d" % (leaf // 10), "folder%04d" % leaf)
    os.makedirs(folder)
    for f in range(999):
        size = n * 37 % 1001
        with open(os.path.join(folder, "file%03d.txt" % f), "wb") as out:
            out.write((b"%08d" % n) * (size // 8) + b"x" * (size % 8))
        n += 1
PY
}

# partitioned DISK SECTORS TYPE [gpt]: a sparse disk file with one partition of SECTORS sectors from sector
# $start, of type TYPE, in an MBR (or a GPT), and 1 MiB to spare behind it.
partitioned() {
  local disk=$1 sectors=$2 type=$3 label=${4:-dos}
  truncate -s $(((start + sectors + 2048) * 512)) "$disk"
  printf 'label: %s\nunit: sectors\n\nstart=%d, size=%d, type=%s\n' "$label" "$start" "$sectors" "$type" |
    sfdisk --quiet --no-reread --no-tell-kernel "$disk"
}

# to_vhdx DISK IMAGE: the disk as a dynamic VHDX, holding only the blocks with data.
to_vhdx() {
  qemu-img convert -f raw -O vhdx -o subformat=dynamic "$1" "$2.part"
  rm -f "$1"
  mv "$2.part" "$2"
}

# The folders each image is built in: the volume on disk, the tree of files in memory (a million small
# files are made and deleted far faster there). Global: the EXIT trap removes them should a step fail.
work=""
files=""
cleanup() {
  [ -z "$work" ] || { mountpoint -q "$work/mnt" && umount "$work/mnt"; rm -rf "$work"; }
  [ -z "$files" ] || rm -rf "$files"
}
trap cleanup EXIT

# make_size ENTRIES: the images of that many entries that are missing, from one tree of files.
make_size() {
  local entries=$1 kind missing="" mib
  for kind in $kinds; do [ -f "$cache/scale_${kind}_$entries.vhdx" ] || missing="$missing $kind"; done
  [ -n "$missing" ] || return 0
  echo "== building the $entries-entry volumes:$missing" >&2
  work=$(mktemp -d "${TMPDIR:-/tmp}/scale.XXXXXX")
  files=$(mktemp -d "${SCALE_TREE_DIR:-/dev/shm}/scale-tree.XXXXXX")
  tree "$files/tree" "$entries"
  # 8 KiB of volume per entry, at least 512 MiB (FAT32 with 4 KiB clusters needs 65,525 of them).
  mib=$((entries * 8 / 1024))
  [ "$mib" -ge 512 ] || mib=512
  local sectors=$((mib * 2048)) offset=$((start * 512)) disk=$work/disk
  for kind in $missing; do
    case $kind in
      ext4)
        partitioned "$disk" "$sectors" 83
        mke2fs -q -F -t ext4 -N $((entries + entries / 4 + 1024)) -E offset=$offset -d "$files/tree" "$disk" "${mib}M"
        to_vhdx "$disk" "$cache/scale_ext4_$entries.vhdx" ;;
      fat32)
        partitioned "$disk" "$sectors" c
        mkfs.fat -F 32 -s 8 --invariant --offset "$start" "$disk" $((mib * 1024)) >/dev/null
        MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -s -i "$disk@@$offset" "$files/tree"/* ::/
        to_vhdx "$disk" "$cache/scale_fat32_$entries.vhdx" ;;
      ntfs)
        # ntfs-3g mounts a whole file only: the volume is made on its own, then placed in the disk.
        truncate -s $((sectors * 512)) "$work/vol"
        mkntfs -Q -F -q -p "$start" -H 255 -S 63 "$work/vol" 2>/dev/null
        mkdir -p "$work/mnt"
        ntfs-3g -o noatime,big_writes "$work/vol" "$work/mnt"
        cp -r "$files/tree"/* "$work/mnt"/
        umount "$work/mnt"
        partitioned "$disk" "$sectors" 7
        dd if="$work/vol" of="$disk" bs=4M seek=$offset oflag=seek_bytes conv=notrunc,sparse status=none
        rm -f "$work/vol"
        to_vhdx "$disk" "$cache/scale_ntfs_$entries.vhdx" ;;
      *) echo "unknown kind $kind" >&2; exit 2 ;;
    esac
  done
  cleanup
  work="" files=""
}

# make_big: an ext4 volume filling a disk that claims 2 TiB, with 1 GiB of files (1,024 of 1 MiB in
# 16 folders); the VHDX holds only the blocks with data.
make_big() {
  local image=$cache/scale_2tib.vhdx sectors
  [ -f "$image" ] && return 0
  echo "== building the 2 TiB VHDX with 1 GiB of data" >&2
  work=$(mktemp -d "${TMPDIR:-/tmp}/scale.XXXXXX")
  files=$(mktemp -d "${SCALE_TREE_DIR:-/dev/shm}/scale-tree.XXXXXX")
  python3 - "$files/tree" <<'PY'
import os, sys
root = sys.argv[1]
block = bytes(range(256)) * 4096
for d in range(16):
    folder = os.path.join(root, "part%02d" % d)
    os.makedirs(folder)
    for f in range(64):
        with open(os.path.join(folder, "blob%02d.bin" % f), "wb") as out:
            out.write(b"%08d" % (d * 64 + f) + block[8:])
PY
  # A GPT disk of 2 TiB (an MBR cannot describe it), one Linux partition from sector 2048 to 1 MiB
  # before the end.
  sectors=$((4 * 1024 * 1024 * 1024 - 2 * start))
  truncate -s $((4 * 1024 * 1024 * 1024 * 512)) "$work/disk"
  printf 'label: gpt\nunit: sectors\n\nstart=%d, size=%d, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n' "$start" "$sectors" |
    sfdisk --quiet --no-reread --no-tell-kernel "$work/disk"
  mke2fs -q -F -t ext4 -E offset=$((start * 512)),lazy_itable_init=1,lazy_journal_init=1,nodiscard -d "$files/tree" \
    "$work/disk" $((sectors / 2))k
  rm -rf "$files"
  to_vhdx "$work/disk" "$image"
  cleanup
  work="" files=""
}

# run_all IMAGE PATTERN [OPTION]: every command on the image's volume 0 (OPTION: --gpt).
run_all() {
  local image=$1 pattern=$2 table=${3:-} out
  out=$(mktemp -d /dev/shm/scale.XXXXXX)
  cat "$image" >/dev/null
  measure "volumes" "$cli" volumes "$image" $table --quiet
  measure "ls" "$cli" ls "$image" $table --volume 0 --quiet
  measure "recover (into /dev/shm)" "$cli" recover "$image" $table --volume 0 --quiet --out "$out/r"
  echo "    files saved: $(find "$out/r" -type f | wc -l)"
  rm -rf "$out"
  measure "search $pattern" "$cli" search "$image" $table --volume 0 --quiet "$pattern"
  measure "volumes --advanced" "$cli" volumes "$image" --advanced --quiet
  measure "volumes --advanced --no-skip" "$cli" volumes "$image" --advanced --no-skip --quiet
}

if [ "$what" = build ] || [ "$what" = all ]; then
  for entries in $sizes; do make_size "$entries"; done
  [ "$big" = 0 ] || make_big
fi
if [ "$what" = measure ] || [ "$what" = all ]; then
  for entries in $sizes; do
    for kind in $kinds; do
      image=$cache/scale_${kind}_$entries.vhdx
      [ -f "$image" ] || { echo "(no $image: run with build first)" >&2; continue; }
      echo "== $kind, $entries entries ($(du -m "$image" | cut -f1) MiB image)"
      run_all "$image" 'file042\.txt'
    done
  done
  if [ "$big" != 0 ] && [ -f "$cache/scale_2tib.vhdx" ]; then
    echo "== ext4 on a 2 TiB disk, 1 GiB of data ($(du -m "$cache/scale_2tib.vhdx" | cut -f1) MiB image)"
    run_all "$cache/scale_2tib.vhdx" 'blob42' --gpt
  fi
fi
