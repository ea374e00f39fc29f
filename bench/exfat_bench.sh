#!/usr/bin/env bash
# exFAT benchmarks on a 1 GiB volume of 10,000 files, each in one run against The Sleuth Kit on the same
# volume:
#   list   tessary ls        vs  fls -r -p
#   dump   tessary recover   vs  tsk_recover -e
# Prints wall and CPU times and peak memories. The volume is built on demand (mkfs.exfat, then an
# exfat-fuse mount of a loop device; this takes a few minutes) into a cache folder that is never
# committed: $TESSARY_BENCH_CACHE or ~/.cache/tessary-bench.
# Needs root (FUSE, losetup), exfatprogs, exfat-fuse, sfdisk, qemu-img, sleuthkit, GNU time, bc, and a
# build of tessary (Release recommended). Usage: bench/exfat_bench.sh [BUILD_DIR] [list|dump|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/exfat10k.vhdx
raw=$cache/exfat10k.raw
start=2048

if [ ! -f "$image" ] || [ ! -f "$raw" ]; then
  echo "== building the 10,000-file exFAT volume in $cache (once)" >&2
  work=$(mktemp -d)
  mnt=$work/mnt
  mkdir -p "$mnt"
  loop=
  trap 'mountpoint -q "$mnt" && umount "$mnt"; [ -n "$loop" ] && losetup -d "$loop"; rm -rf "$work"' EXIT
  sectors=$((1024 * 2048 - start))
  truncate -s $((sectors * 512)) "$work/vol"
  mkfs.exfat "$work/vol" >/dev/null
  loop=$(losetup -f --show "$work/vol")
  mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null
  # 100 folders of 100 files, sizes from 0 bytes to 64 KiB; every tenth folder grows two files in turns,
  # so that part of the data follows FAT chains.
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "dir%03d" % d)
    os.makedirs(folder)
    for f in range(0, 100, 2):
        sizes = [((d * 100 + f + k) * 6151) % 65536 for k in (0, 1)]
        names = [os.path.join(folder, "file%03d_%d.bin" % (f + k, sizes[k])) for k in (0, 1)]
        datas = [(b"%08d" % (d * 100 + f + k)) * (sizes[k] // 8) + b"x" * (sizes[k] % 8) for k in (0, 1)]
        if d % 10 == 0:
            with open(names[0], "wb") as a, open(names[1], "wb") as b:
                for at in range(0, 65536, 32768):
                    for out, data in ((a, datas[0]), (b, datas[1])):
                        out.write(data[at:at + 32768])
                        out.flush()
                        os.fsync(out.fileno())
        else:
            for name, data in zip(names, datas):
                with open(name, "wb") as out:
                    out.write(data)
PY
  umount "$mnt"
  losetup -d "$loop"
  loop=
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
  measure "fls -r -p" fls -r -p "$raw"
fi
if [ "$what" = dump ] || [ "$what" = all ]; then
  echo "== recover every file"
  out=$(mktemp -d)
  measure "tessary recover" "$cli" recover "$image" --volume 0 --quiet --out "$out/cli"
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  echo "files: tessary recover $(find "$out/cli" -type f | wc -l), tsk_recover $(find "$out/tsk" -type f | wc -l)"
  rm -rf "$out"
fi
