#!/usr/bin/env bash
# Makes a fuzz target's seed corpus from the committed test fixtures (tests/fixtures/*.vhdx.xz), small
# enough for the fuzzer to mutate quickly:
#   vhdx_fuzz     each fixture's VHDX shrunk: its identifier, headers and region table, then its metadata
#                 and the start of its block table moved close behind; once with the blocks left outside
#                 the file (they read as zeros) and once with the first 64 KiB of block 0 at 1 MiB
#   volumes_fuzz  each raw disk's table sectors followed by the first 16 sectors of every volume its MBR or
#                 GPT names, the table entries moved to where those sectors now lie
#   ntfs_fuzz     each NTFS volume cut after its MFT's first 256 KiB (boot sector, MFT records, what lies
#                 between)
#   fat_fuzz, ext_fuzz, hfsplus_fuzz
#                 each volume of that file system on any fixture disk, its first 1 MiB less 4 KiB, cut
#                 after its metadata (below)
#   exfat_fuzz    each exFAT volume, its FAT and heap moved close behind the boot region
#                 (exfat_seeds.sh), cut at 256 KiB
#   vhd_fuzz, vdi_fuzz, vmdk_fuzz
#                 the first 1 MiB of each image fixture of that format
# A target without a case here starts from fuzz/seeds/TARGET/ or from nothing.
# Needs xz, qemu-img, dd, od.  Usage: fuzz/make_seeds.sh TARGET OUTDIR
# FUZZ_FIXTURE_CACHE names a folder that keeps the unpacked fixtures between calls (scripts/fuzz.sh sets it).
set -euo pipefail
target=${1:?usage: make_seeds.sh TARGET OUTDIR}
out=${2:?usage: make_seeds.sh TARGET OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../tests/fixtures
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cache=${FUZZ_FIXTURE_CACHE:-$work}
mkdir -p "$cache"

u() { od -An -tu"$2" -j"$3" -N"$2" "$1" | tr -d ' '; }  # u FILE BYTES OFFSET: little-endian value
put() {  # put FILE OFFSET BYTES VALUE: writes a little-endian value in place
  local s="" i
  for ((i = 0; i < $3; i++)); do s+=$(printf '\\x%02x' $((($4 >> (8 * i)) & 255))); done
  printf "$s" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
copy() {  # copy FROM FROM_OFFSET TO TO_OFFSET BYTES
  dd if="$1" of="$3" bs=64K iflag=skip_bytes,count_bytes skip="$2" count="$5" oflag=seek_bytes seek="$4" \
    conv=notrunc status=none
}
unpack() {  # unpack NAME: the fixture's VHDX in the cache
  [ "$cache/$1.vhdx" -nt "$fixtures/$1.vhdx.xz" ] || xz -dc "$fixtures/$1.vhdx.xz" >"$cache/$1.vhdx"
}
raw() {  # raw NAME: the fixture's raw disk in the cache
  unpack "$1"
  [ "$cache/$1.raw" -nt "$cache/$1.vhdx" ] || qemu-img convert -f vhdx -O raw "$cache/$1.vhdx" "$cache/$1.raw"
}
volume_starts() {  # volume_starts RAW: the first sector of each volume the MBR or the GPT names
  local disk=$1 i type
  if [ "$(u "$disk" 1 450)" = 238 ]; then
    for ((i = 0; i < 128; i++)); do
      local first
      first=$(u "$disk" 8 $((1024 + 128 * i + 32)))
      [ "$first" != 0 ] && echo "$first"
    done
  else
    for ((i = 0; i < 4; i++)); do
      type=$(u "$disk" 1 $((446 + 16 * i + 4)))
      [ "$type" != 0 ] && echo "$(u "$disk" 4 $((446 + 16 * i + 8)))"
    done
  fi
  return 0
}
inside() { [ $(($2 * 512 + 8192)) -le "$(stat -c %s "$1")" ]; }  # inside RAW SECTOR: the volume's start is on the disk
# Disks of 4096-byte sectors are left out: qemu-img does not open them, and the volume starts above are
# counted in 512-byte sectors. The chain fixtures are left out too: the dirty one holds a log qemu-img
# will not open read-only, and their volumes are those of the fixtures above.
text_at() { dd if="$1" bs=1 skip="$2" count="$3" status=none | tr -d '\0'; }  # text_at FILE OFFSET COUNT
kind_at() {  # kind_at RAW OFFSET: fat, ext, hfsplus or nothing, by the volume's boot sector or superblock
  if [ "$(u "$1" 2 $(($2 + 1080)))" = 61267 ]; then echo ext
  else
    case "$(text_at "$1" $(($2 + 1024)) 2)/$(text_at "$1" $(($2 + 54)) 4)/$(text_at "$1" $(($2 + 82)) 5)" in
      H+/* | HX/*) echo hfsplus ;;
      */FAT1/* | */FAT32) echo fat ;;
    esac
  fi
  return 0
}
fixture_names() { for f in "$fixtures"/*.vhdx.xz; do case $f in *_4k.vhdx.xz | */chain-*) ;; *) basename "$f" .vhdx.xz ;; esac; done; }

case $target in
  vhdx_fuzz)
    for name in $(fixture_names); do
      unpack "$name"
      src=$cache/$name.vhdx
      for i in 0 1; do
        entry=$((0x30000 + 16 + 32 * i))
        if [ "$(u "$src" 1 "$entry")" = 102 ]; then bat_entry=$entry; else meta_entry=$entry; fi
      done
      bat=$(u "$src" 8 $((bat_entry + 16)))
      meta=$(u "$src" 8 $((meta_entry + 16)))
      seed=$work/$name.compact
      copy "$src" 0 "$seed" 0 $((0x40000))
      copy "$src" "$meta" "$seed" $((0x40000)) $((0x20000))
      copy "$src" "$bat" "$seed" $((0x60000)) 4096
      put "$seed" $((meta_entry + 16)) 8 $((0x40000))
      put "$seed" $((meta_entry + 24)) 4 $((0x20000))
      put "$seed" $((bat_entry + 16)) 8 $((0x60000))
      put "$seed" $((bat_entry + 24)) 4 4096
      cp "$seed" "$out/$name.nodata.vhdx"
      block0=$(($(u "$src" 8 "$bat") & ~0xFFFFF))
      if [ "$block0" != 0 ]; then
        put "$seed" $((0x60000)) 8 $((0x100000 | 6))
        copy "$src" "$block0" "$seed" $((0x100000)) $((0x10000))
        cp "$seed" "$out/$name.block0.vhdx"
      fi
    done
    ;;
  volumes_fuzz)
    for name in $(fixture_names); do
      raw "$name"
      disk=$cache/$name.raw
      # The table sectors, then 16 sectors of each volume, the table entries moved to where they now lie.
      seed=$out/$name.disk
      head -c $((34 * 512)) "$disk" >"$seed"
      gpt=$([ "$(u "$disk" 1 450)" = 238 ] && echo 1 || echo 0)
      k=0
      for start in $(volume_starts "$disk"); do
        inside "$disk" "$start" || continue
        at=$((34 + 16 * k))
        copy "$disk" $((start * 512)) "$seed" $((at * 512)) $((16 * 512))
        if [ "$gpt" = 1 ]; then
          for ((i = 0; i < 128; i++)); do
            entry=$((1024 + 128 * i))
            [ "$(u "$seed" 8 $((entry + 32)))" = "$start" ] || continue
            put "$seed" $((entry + 32)) 8 "$at"
            put "$seed" $((entry + 40)) 8 $((at + 15))
          done
        else
          for ((i = 0; i < 4; i++)); do
            entry=$((446 + 16 * i))
            [ "$(u "$seed" 4 $((entry + 8)))" = "$start" ] || continue
            put "$seed" $((entry + 8)) 4 "$at"
            put "$seed" $((entry + 12)) 4 16
          done
        fi
        k=$((k + 1))
      done
    done
    ;;
  ntfs_fuzz)
    for name in $(fixture_names); do
      raw "$name"
      disk=$cache/$name.raw
      for start in $(volume_starts "$disk"); do
        inside "$disk" "$start" || continue
        base=$((start * 512))
        oem=$(dd if="$disk" bs=1 skip=$((base + 3)) count=4 status=none | tr -dc 'A-Z')
        cluster=$(($(u "$disk" 2 $((base + 11))) * $(u "$disk" 1 $((base + 13)))))
        if [ "$oem" = NTFS ] && [ "$cluster" != 0 ]; then
          mft=$(($(u "$disk" 8 $((base + 48))) * cluster))
        elif [ "$name" = ntfs_noboot ]; then
          mft=16384  # the volume of ntfs_tree, its boot sector zeroed
        else
          continue
        fi
        length=$((mft + 256 * 1024))
        [ "$length" -le 393216 ] || length=393216
        copy "$disk" "$base" "$out/$name.$start.ntfs" 0 "$length"
      done
    done
    ;;
  exfat_fuzz)
    bash "$here/exfat_seeds.sh" "$out"
    ;;
  fat_fuzz | ext_fuzz | hfsplus_fuzz)
    # Every volume of this file system on any fixture disk, its first 1 MiB: boot sector or superblock,
    # FATs, root and first folders; group descriptors and the first inode tables; volume header, catalog
    # and extents files. A volume without its boot record (hfsplus_noheader) goes by the fixture's name.
    want=${target%_fuzz}
    for name in $(fixture_names); do
      raw "$name"
      disk=$cache/$name.raw
      for start in $(volume_starts "$disk"); do
        inside "$disk" "$start" || continue
        kind=$(kind_at "$disk" $((start * 512)))
        [ -n "$kind" ] || case $name in hfsplus*) kind=hfsplus ;; esac
        [ "$kind" = "$want" ] || continue
        copy "$disk" $((start * 512)) "$out/$name.$start" 0 $(((1 << 20) - 4096))
      done
    done
    ;;
  vhd_fuzz | vdi_fuzz | vmdk_fuzz | qcow2_fuzz)
    # The head of each twin image of this format: its headers and tables and the first data blocks.
    ext=${target%_fuzz}
    for image in "$here"/../tests/fixtures/*."$ext".xz; do
      [ -f "$image" ] || continue
      name=$(basename "$image" .xz)
      xz -dc "$image" | head -c 1048576 >"$out/$name" || true
    done
    ;;
esac

# File-system seeds end with their metadata: a run's cost (the fuzzer's hashing and copying of every input
# it keeps, the Advanced modes' searches of every slot) follows the input's length, and what lies past the
# input reads as zeros anyway. Each seed loses its trailing zeros (in 4 KiB steps); an HFS+ volume is cut
# after its catalog and extents files (256 KiB without a volume header), an exFAT one at 256 KiB (its
# boot region, FAT and the heap's first folders).
case $target in
  fat_fuzz | ext_fuzz | hfsplus_fuzz | exfat_fuzz)
    python3 - "$target" "$out" <<'PY'
import os, struct, sys
target, out = sys.argv[1], sys.argv[2]
STEP = 4096
for name in sorted(os.listdir(out)):
    path = os.path.join(out, name)
    data = open(path, "rb").read()
    end = len(data)
    if target == "hfsplus_fuzz":
        header = data[1024:1536]
        if len(header) == 512 and header[:2] in (b"H+", b"HX"):
            block = struct.unpack_from(">I", header, 40)[0]
            last = 0
            for fork in (192, 272):  # the extents and catalog files' first eight extents
                for i in range(8):
                    start, count = struct.unpack_from(">II", header, fork + 16 + 8 * i)
                    if count:
                        last = max(last, (start + count) * block)
            if last:
                end = min(end, last)
        else:
            end = min(end, 256 * 1024)
    elif target == "exfat_fuzz":
        end = min(end, 256 * 1024)
    end = len(data[:end].rstrip(b"\0"))
    end = max(STEP, (end + STEP - 1) // STEP * STEP)
    if end < len(data):
        open(path, "wb").write(data[:end])
PY
    ;;
esac

# Targets that pick their mode by the input's length (length % MODES) get each seed in every length class:
# the seed, then copies 1 to MODES-1 bytes longer.
case $target in
  ntfs_fuzz) modes=3 ;;
  fat_fuzz) modes=4 ;;
  exfat_fuzz | hfsplus_fuzz) modes=2 ;;
  *) modes=1 ;;
esac
for seed in "$out"/*; do
  [ -f "$seed" ] || continue
  for ((k = 1; k < modes; k++)); do
    { cat "$seed"; head -c "$k" /dev/zero; } >"$seed.mode$k"
  done
done
