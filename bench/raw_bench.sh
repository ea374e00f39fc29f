#!/usr/bin/env bash
# Raw carving benchmark: 1 GiB of seeded noise with 2,000 planted files of 4 types (jpg, png, pdf, zip),
# as the second partition of a disk, carved by `tessary carve` with the default signature file and by
# PhotoRec (package testdisk, installed here when missing) on the volume's raw twin, in one run. Prints
# both CPU times and each tool's recall: a planted file counts as recovered when some carved file begins
# with all of its bytes. The disk is built on demand into $TESSARY_BENCH_CACHE (default
# ~/.cache/tessary-bench), never committed. Needs python3, sfdisk, qemu-img, GNU time and a Release build.
# Usage: bench/raw_bench.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
cli=$build/tessary
[ -x "$cli" ] && [ -f "$build/FileSetting.txt" ] || { echo "build $cli (and FileSetting.txt beside it) first" >&2; exit 1; }
if ! command -v photorec >/dev/null; then
  echo "== installing testdisk (photorec)" >&2
  apt-get install -y testdisk >/dev/null || { apt-get update >/dev/null && apt-get install -y testdisk >/dev/null; }
fi
. "$here/lib.sh"
image=$cache/raw1g.vhdx
volume=$cache/raw1g.vol
plan=$cache/raw1g.plan
start=2048
mib=1024

if [ ! -f "$image" ] || [ ! -f "$volume" ] || [ ! -f "$plan" ]; then
  echo "== building the 1 GiB noise volume with 2,000 planted files in $cache (once)" >&2
  python3 - "$volume" "$plan" "$mib" <<'PY'
import random, struct, sys, zlib
path, plan_path, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = mib << 20
rng = random.Random(20261209)
types = ["jpg", "png", "pdf", "zip"]

def body(n):
    # No 0xFF, as in a JPEG's entropy-coded data, and no marker of the four types at a block start.
    return rng.randbytes(n).replace(b"\xff", b"\xfe")

def make(kind, n):
    if kind == "jpg":
        return b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + body(n) + b"\xff\xd9"
    if kind == "png":
        data = body(n)
        idat = struct.pack(">I", len(data)) + b"IDAT" + data + struct.pack(">I", zlib.crc32(b"IDAT" + data))
        ihdr = b"IHDR" + struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + ihdr + struct.pack(">I", zlib.crc32(ihdr)) + idat +
                b"\x00\x00\x00\x00IEND\xaeB`\x82")
    if kind == "pdf":
        text = b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\nstream\n" + body(n).replace(b"%%EOF", b"%%EOG") + b"\nendstream\n"
        return text + b"trailer\n<< /Root 1 0 R >>\n%%EOF\n"
    data = body(n)
    name = b"data.bin"
    crc = zlib.crc32(data)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, crc, len(data), len(data), len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0, crc, len(data), len(data), len(name),
                          0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(data), 0)
    return local + data + central + end

plans = []
with open(path, "wb") as out:
    # 2,000 slots of 512 KiB each, a file at a block start inside each slot; noise everywhere else.
    slot = size // 2000 // 512 * 512
    at = 0
    for i in range(2000):
        kind = types[i % 4]
        f = make(kind, rng.randrange(20_000, 200_000))
        where = at + rng.randrange(0, (slot - len(f)) // 512) * 512
        out.write(rng.randbytes(where - at) if where > at else b"")
        out.write(f)
        plans.append((where, len(f), kind))
        at = where + len(f)
        nxt = (i + 1) * slot
        out.write(rng.randbytes(nxt - at))
        at = nxt
    out.write(rng.randbytes(size - at))
with open(plan_path, "w") as p:
    for where, length, kind in plans:
        p.write("%d %d %s\n" % (where, length, kind))
PY
  disk=$cache/raw1g.disk
  truncate -s 0 "$disk"
  truncate -s $(((start + mib * 2048 + 2048) * 512)) "$disk"
  printf 'label: dos\nunit: sectors\n\nstart=%d, size=%d, type=83\n' "$start" $((mib * 2048)) |
    sfdisk --quiet --no-reread --no-tell-kernel "$disk"
  dd if="$volume" of="$disk" bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc status=none
  qemu-img convert -f raw -O vhdx "$disk" "$image"
  rm -f "$disk"
fi

recall() {  # folder: how many planted files some file below the folder begins with
  python3 - "$volume" "$plan" "$1" <<'PY'
import os, sys, hashlib
volume, plan, folder = sys.argv[1:4]
planted = []
with open(volume, "rb") as v, open(plan) as p:
    for line in p:
        where, length, kind = line.split()
        v.seek(int(where))
        planted.append(v.read(int(length)))
heads = {}
for root, _, files in os.walk(folder):
    for name in files:
        path = os.path.join(root, name)
        with open(path, "rb") as f:
            heads.setdefault(f.read(64), []).append(path)
found = 0
for data in planted:
    for path in heads.get(data[:64], []):
        with open(path, "rb") as f:
            if f.read(len(data)) == data:
                found += 1
                break
print("%d of %d planted files recovered" % (found, len(planted)))
PY
}

cat "$image" "$volume" >/dev/null
out=$(mktemp -d -p "$cache")
trap 'rm -rf "$out"' EXIT
echo "== carve 1 GiB: 2,000 planted files (jpg, png, pdf, zip)"
measure "tessary carve" "$cli" carve "$image" --start-sector "$start" --end-sector $((start + mib * 2048 - 1)) \
  --out "$out/tessary" --quiet
mkdir -p "$out/photorec"
measure "photorec" photorec /d "$out/photorec/recup" /cmd "$volume" \
  partition_none,fileopt,everything,disable,jpg,enable,png,enable,pdf,enable,zip,enable,search
echo "tessary:  $(recall "$out/tessary")"
echo "photorec: $(recall "$out/photorec")"
