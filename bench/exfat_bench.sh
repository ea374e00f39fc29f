#!/usr/bin/env bash
# exFAT benchmarks on a 1 GiB volume of 10,000 files, each in one run against The Sleuth Kit on the same
# volume and, for recovery, against a copy of the volume's mounted tree:
#   list   tessary ls        vs  fls -r -p
#   dump   tessary recover   vs  tsk_recover -e, and cp -a out of a read-only exfat-fuse mount
# Prints wall and CPU times, peak memories and the CPU-time ratios (targets: list at most 0.5x fls, dump
# at most 0.7x either reference); the recovered tree is compared with the copied one byte for byte. The
# volume is built on demand (mkfs.exfat, then an exfat-fuse mount of a loop device; this takes a few
# minutes) into a cache folder that is never committed: $TESSARY_BENCH_CACHE or ~/.cache/tessary-bench.
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
  rm -rf "$work"
  trap - EXIT
fi

declare -A took  # CPU seconds by step
ratio() { printf "%.2f" "$(echo "scale=3; ${took[$1]} / ${took[$2]}" | bc)"; }
# CPU seconds (user + system) a running process has used so far, and its peak memory in KiB.
ticks=$(getconf CLK_TCK)
process_cpu() { awk -v t="$ticks" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / t }' "/proc/$1/stat"; }
process_peak() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

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
  mnt=$(mktemp -d)
  loop=
  trap 'mountpoint -q "$mnt" && umount "$mnt"; [ -n "$loop" ] && losetup -d "$loop"; rmdir "$mnt"; rm -rf "$out"' EXIT
  measure "tessary recover" "$cli" recover "$image" --volume 0 --quiet --out "$out/cli"
  took[recover]=$cpu
  measure "tsk_recover -e" tsk_recover -e "$raw" "$out/tsk"
  took[tsk]=$cpu
  # The volume's tree copied out of a fresh read-only exfat-fuse mount of the raw twin (through a read-only
  # loop device: the daemon mounts block devices only). The daemon reads the volume in its own process,
  # so its CPU time, from the mount to the end of the copy, is taken from /proc and added to cp's.
  loop=$(losetup -r -f --show "$raw")
  mount.exfat-fuse -o ro,noatime "$loop" "$mnt" >/dev/null 2>&1
  daemon=$(pgrep -f -- "$loop $mnt\$" | head -n 1)
  [ -n "$daemon" ] || { echo "no exfat-fuse daemon for $mnt" >&2; exit 1; }
  measure "cp -a (exfat-fuse mount)" cp -a "$mnt/." "$out/cp"
  took[cp]=$cpu
  took[daemon]=$(process_cpu "$daemon")
  daemon_peak=$(process_peak "$daemon")
  umount "$mnt"
  losetup -d "$loop"
  loop=
  took[mounted]=$(echo "${took[cp]} + ${took[daemon]}" | bc)
  printf '%-34s %8s     cpu %7.2f s   peak %8d KiB\n' "  exfat-fuse daemon" "" "${took[daemon]}" "$daemon_peak"
  printf '%-34s %8s     cpu %7.2f s\n' "  cp + daemon" "" "${took[mounted]}"
  echo "cpu ratio tessary recover / tsk_recover: $(ratio recover tsk) (target <= 0.7)"
  echo "cpu ratio tessary recover / cp + daemon: $(ratio recover mounted) (cp alone: $(ratio recover cp); target <= 0.7)"
  echo "files: tessary $(find "$out/cli" -type f | wc -l), tsk_recover $(find "$out/tsk" -type f | wc -l)," \
    "cp $(find "$out/cp" -type f | wc -l)"
  if diff -r -q "$out/cli" "$out/cp" >/dev/null; then
    echo "tessary's tree is byte-identical to the mounted tree"
  else
    echo "tessary's tree differs from the mounted tree:" >&2
    diff -r -q "$out/cli" "$out/cp" | head -n 20 >&2
    exit 1
  fi
fi
