#!/usr/bin/env bash
# Seed corpus of exfat_fuzz: the exFAT volume of every exFAT fixture, made to fit in 1 MiB less 4 KiB. The
# formatter puts the FAT at 1 MiB and the cluster heap at 2 MiB; each seed keeps the boot region, then
# the FAT moved to sector 32 and the heap's first clusters right behind it, the boot sector's offsets
# (and its checksum sector) rewritten to match. A fixture whose boot sector is zeroed (exfat_noboot)
# keeps it zeroed, its FAT and heap moved the same way as its twin's, for the Advanced search.
# Needs xz, qemu-img, dd, python3.  Usage: fuzz/exfat_seeds.sh OUTDIR
set -euo pipefail
out=${1:?usage: exfat_seeds.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../tests/fixtures
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for image in "$fixtures"/exfat*.vhdx.xz; do
  name=$(basename "$image" .vhdx.xz)
  xz -dc "$image" >"$work/$name.vhdx"
  qemu-img convert -f vhdx -O raw "$work/$name.vhdx" "$work/$name.raw"
  rm -f "$work/$name.vhdx"
done
python3 - "$work" "$out" <<'PY'
import glob, os, struct, sys
work, out = sys.argv[1], sys.argv[2]
SEED = (1 << 20) - 4096  # under 1 MiB, with room for the copies one to three bytes longer

def volume_starts(disk):
    """First sectors of the MBR's or GPT's volumes."""
    if disk[450] == 0xEE:
        for i in range(128):
            first = struct.unpack_from("<Q", disk, 1024 + 128 * i + 32)[0]
            if first:
                yield first
    else:
        for i in range(4):
            if disk[446 + 16 * i + 4]:
                yield struct.unpack_from("<I", disk, 446 + 16 * i + 8)[0]

def checksum(region):
    s = 0
    for i, b in enumerate(region):
        if i in (106, 107, 112):
            continue
        s = ((s >> 1) | ((s & 1) << 31)) + b & 0xFFFFFFFF
    return s

def shrink(volume, boot):
    """The volume in SEED bytes: boot region, FAT at sector 32, heap behind it (geometry from `boot`)."""
    fat_off, fat_len, heap_off = struct.unpack_from("<III", boot, 80)
    new_fat = 32
    new_heap = new_fat + fat_len
    seed = bytearray(SEED)
    seed[:24 * 512] = volume[:24 * 512]
    fat = volume[fat_off * 512:(fat_off + fat_len) * 512]
    seed[new_fat * 512:new_fat * 512 + len(fat)] = fat[:SEED - new_fat * 512]
    if new_heap * 512 < SEED:
        heap = volume[heap_off * 512:heap_off * 512 + SEED - new_heap * 512]
        seed[new_heap * 512:new_heap * 512 + len(heap)] = heap
    if volume[3:11] == b"EXFAT   ":
        for base in (0, 12 * 512):
            struct.pack_into("<I", seed, base + 80, new_fat)
            struct.pack_into("<I", seed, base + 88, new_heap)
            value = struct.pack("<I", checksum(seed[base:base + 11 * 512]))
            seed[base + 11 * 512:base + 12 * 512] = value * 128
    return bytes(seed)

volumes = {}
for raw in sorted(glob.glob(os.path.join(work, "*.raw"))):
    name = os.path.basename(raw)[:-4]
    disk = open(raw, "rb").read()
    for start in volume_starts(disk):
        volume = disk[start * 512:]
        if len(volume) >= 1 << 20:
            volumes[(name, start)] = volume
# A volume without a boot sector takes the geometry of a volume at the same start that has one.
for (name, start), volume in volumes.items():
    boot = volume
    if volume[3:11] != b"EXFAT   ":
        twins = [v for (n, s), v in volumes.items() if s == start and v[3:11] == b"EXFAT   "]
        if not twins:
            continue
        boot = twins[0]
    with open(os.path.join(out, f"{name}.{start}"), "wb") as f:
        f.write(shrink(volume, boot))
PY
