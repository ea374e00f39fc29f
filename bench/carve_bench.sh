#!/usr/bin/env bash
# Carving real files: 1 GiB of seeded noise with 2,000 planted files of the default types, each made by a
# real tool (tests/fixtures/make_carve.sh with several image seeds: JPEGs with FF D9 in their APP1
# profile and progressive ones, multi-member ZIPs, animated GIFs, PDFs with an incremental update, SQLite,
# gzip, 7z, TIFF, PSD, BMP, WAV, MP3, AVI, MP4, MOV, a Windows program), each at a block start. Carved by
# `tessary carve` with the default signature file and by PhotoRec (package testdisk) on the raw volume, in
# one run. Prints, for each tool: CPU time, planted files found (a carved file that begins at the planted
# offset, by its name), byte-exact files (that file equals the planted bytes), and bytes written against
# the planted bytes. Built on demand into $TESSARY_BENCH_CACHE, never committed.
# Then names from metadata: the pool copied into folders of a FAT32 volume (mtools) and of an NTFS volume
# (mkntfs, ntfs-3g), every file then deleted; the share of carved files that carry their original path.
# Needs a Release build, python3, sfdisk, qemu-img, GNU time, the tools make_carve.sh names, mtools, and
# for the NTFS volume root (a FUSE mount) with ntfs-3g.
# Usage: bench/carve_bench.sh [BUILD_DIR] [MIB] [FILES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
mib=${2:-1024}
count=${3:-2000}
cli=$build/tessary
[ -x "$cli" ] && [ -f "$build/FileSetting.txt" ] || { echo "build $cli (and FileSetting.txt beside it) first" >&2; exit 1; }
command -v photorec >/dev/null || { echo "install testdisk (photorec) first" >&2; exit 1; }
. "$here/lib.sh"
pool=$cache/carve_pool
volume=$cache/carve${mib}.vol
plan=$cache/carve${mib}.plan
image=$cache/carve${mib}.vhdx
start=2048

if [ ! -d "$pool" ]; then
  echo "== making the pool of real files in $pool (once)" >&2
  for seed in 1 2 3 4 5 6; do
    CARVE_SEED=$seed CARVE_SAMPLES_ONLY=$pool/$seed bash "$here/../tests/fixtures/make_carve.sh" "$cache" >/dev/null
  done
fi

if [ ! -f "$volume" ] || [ ! -f "$plan" ] || [ ! -f "$image" ]; then
  echo "== planting $count files in $mib MiB of noise (once)" >&2
  python3 - "$pool" "$volume" "$plan" "$mib" "$count" <<'PY'
import os, random, sys
pool, path, plan_path, mib, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
files = []
for seed in sorted(os.listdir(pool)):
    for name in sorted(os.listdir(os.path.join(pool, seed))):
        files.append((name, open(os.path.join(pool, seed, name), "rb").read()))
# The RAR-less default types; the ODT is a ZIP that PhotoRec names as one.
rng = random.Random(20261209)
size = mib << 20
slot = size // count // 512 * 512
with open(path, "wb") as out, open(plan_path, "w") as plan:
    at = 0
    for i in range(count):
        name, data = files[i % len(files)]
        room = (slot - len(data)) // 512
        where = i * slot + (rng.randrange(0, room) * 512 if room > 0 else 0)
        out.write(rng.randbytes(where - at))
        out.write(data)
        at = where + len(data)
        plan.write("%d %d %s\n" % (where, len(data), name))
    out.write(rng.randbytes(size - at))
PY
  disk=$cache/carve.disk
  truncate -s 0 "$disk"
  truncate -s $(((start + mib * 2048 + 2048) * 512)) "$disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=83\n' "$start" $((mib * 2048)) |
    sfdisk --quiet --no-reread --no-tell-kernel "$disk"
  dd if="$volume" of="$disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$disk" "$image"
  rm -f "$disk"
fi

score() {  # TOOL FOLDER: found, byte-exact and bytes written, by the offset each carved file's name gives
  python3 - "$volume" "$plan" "$1" "$2" <<'PY'
import os, re, sys
volume, plan, tool, folder = sys.argv[1:5]
carved = {}
written = 0
for root, _, names in os.walk(folder):
    for name in names:
        path = os.path.join(root, name)
        if tool == "photorec" and (name.startswith("report") or not name.startswith("f")):
            continue
        written += os.path.getsize(path)
        m = re.match(r"f(\d+)", name) if tool == "photorec" else re.match(r"(\d+) ?\.", name)
        if m:
            offset = int(m.group(1)) * (512 if tool == "photorec" else 1)
            carved.setdefault(offset, path)
found = exact = planted_bytes = 0
with open(volume, "rb") as v, open(plan) as p:
    for line in p:
        where, length, name = line.split()
        where, length = int(where), int(length)
        planted_bytes += length
        path = carved.get(where)
        if not path:
            continue
        found += 1
        v.seek(where)
        data = v.read(length)
        with open(path, "rb") as f:
            if f.read() == data:
                exact += 1
print("%s: %d found, %d byte-exact, %.1f MiB written for %.1f MiB planted (%.2fx)" %
      (tool, found, exact, written / 1048576, planted_bytes / 1048576, written / planted_bytes))
PY
}

cat "$image" "$volume" >/dev/null
out=$(mktemp -d -p "$cache")
trap 'rm -rf "$out"' EXIT
echo "== carve $mib MiB: $count planted real files"
measure "tessary carve" "$cli" carve "$image" --start-sector "$start" --end-sector $((start + mib * 2048 - 1)) \
  --out "$out/tessary" --quiet
mkdir -p "$out/photorec"
measure "photorec" photorec /d "$out/photorec/recup" /cmd "$volume" partition_none,fileopt,everything,enable,search
score tessary "$out/tessary"
score photorec "$out/photorec"

# Names from metadata: the pool copied 16 times into folders of a 256 MiB FAT32 volume (mkfs.fat, mtools),
# every file then deleted with mdel; `tessary carve --json` reports which carved files a deleted entry named.
fatdisk=$cache/carvefat.vhdx
if [ ! -f "$fatdisk" ]; then
  echo "== building the FAT32 volume with deleted files (once)" >&2
  fat=$cache/carvefat.vol
  rm -f "$fat"
  mkfs.fat -C -F 32 -n CARVE32 "$fat" $((256 * 1024)) >/dev/null
  export MTOOLS_SKIP_CHECK=1
  for round in $(seq 1 16); do
    mmd -i "$fat" "::/r$round"
    for seed in "$pool"/*; do
      mmd -i "$fat" "::/r$round/s$(basename "$seed")"
      mcopy -i "$fat" "$seed"/* "::/r$round/s$(basename "$seed")/"
    done
  done
  mdir -i "$fat" -/ -b :: | grep -v '/$' > "$cache/carvefat.list" || true
  for round in $(seq 1 16); do for seed in "$pool"/*; do mdel -i "$fat" "::/r$round/s$(basename "$seed")/*"; done; done
  disk=$cache/carvefat.disk
  truncate -s 0 "$disk"
  truncate -s $(((start + 256 * 2048 + 2048) * 512)) "$disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=0c\n' "$start" $((256 * 2048)) |
    sfdisk --quiet --no-reread --no-tell-kernel "$disk"
  dd if="$fat" of="$disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$disk" "$fatdisk"
  rm -f "$disk" "$fat"
fi
# Carves a volume of a disk and scores its names: `tessary carve --json` says which carved files a deleted
# entry named; a name counts as original when its folder and name are a deleted file's path.
names() {  # LABEL DISK LIST
  "$cli" carve "$2" --volume 0 --fs RAW --out "$out/$1" --json --quiet > "$out/$1.json" 2>/dev/null || true
  python3 - "$1" "$out/$1.json" "$3" <<'PY'
import json, sys
label, carved, listing = sys.argv[1:4]
results = [json.loads(line) for line in open(carved) if line.strip()]
deleted = [line.strip().lstrip(":").lstrip("/") for line in open(listing) if line.strip()]
paths = {p.lower() for p in deleted}
def matches(r):
    path = (r["folder"] + "/" + r["name"]).lower()
    if path in paths:
        return True
    # An 8.3 name without a long name loses its first character to the deleted mark.
    folder, _, name = path.rpartition("/")
    return any(p.rpartition("/")[0] == folder and p.rpartition("/")[2][1:] == name[1:] for p in paths)
named = [r for r in results if r["named"]]
right = [r for r in named if matches(r)]
print("tessary %s: %d deleted, %d carved, %d named by a deleted entry, %d of them with the original path (%.1f%% of carved)" %
      (label, len(deleted), len(results), len(named), len(right), 100.0 * len(right) / max(len(results), 1)))
PY
}

echo "== names from a FAT32 volume whose $(wc -l < "$cache/carvefat.list") files were deleted"
names fat32 "$fatdisk" "$cache/carvefat.list"

# The same pool on a 256 MiB NTFS volume (mkntfs, ntfs-3g), 16 times in folders, every file then deleted
# with rm on a fresh mount. Files of a few hundred bytes stay resident in their MFT records: there is no
# cluster to carve them from.
ntfsdisk=$cache/carventfs.vhdx
if [ ! -f "$ntfsdisk" ]; then
  echo "== building the NTFS volume with deleted files (once)" >&2
  ntfs=$cache/carventfs.vol
  mnt=$(mktemp -d)
  truncate -s 0 "$ntfs"
  truncate -s 256M "$ntfs"
  mkntfs -q -F -f -L CARVENTFS "$ntfs" >/dev/null 2>&1
  ntfs-3g "$ntfs" "$mnt"
  for round in $(seq 1 16); do
    for seed in "$pool"/*; do
      mkdir -p "$mnt/r$round/s$(basename "$seed")"
      cp "$seed"/* "$mnt/r$round/s$(basename "$seed")/"
    done
  done
  (cd "$mnt" && find . -type f | sed 's|^\./||') > "$cache/carventfs.list"
  umount "$mnt"
  ntfs-3g "$ntfs" "$mnt"
  find "$mnt" -type f -path "$mnt/r*" -delete
  umount "$mnt"
  rmdir "$mnt"
  disk=$cache/carventfs.disk
  truncate -s 0 "$disk"
  truncate -s $(((start + 256 * 2048 + 2048) * 512)) "$disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=07\n' "$start" $((256 * 2048)) |
    sfdisk --quiet --no-reread --no-tell-kernel "$disk"
  dd if="$ntfs" of="$disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$disk" "$ntfsdisk"
  rm -f "$disk" "$ntfs"
fi
echo "== names from an NTFS volume whose $(wc -l < "$cache/carventfs.list") files were deleted"
names ntfs "$ntfsdisk" "$cache/carventfs.list"
