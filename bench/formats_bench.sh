#!/usr/bin/env bash
# The VHD, VDI and VMDK readers against the VHDX reader and against qemu-img, each in one run:
#   export  tessary export of a 2 GiB disk (1 GiB of data in 128 MiB stripes with holes between them) as
#           VHDX, VHD, VDI and VMDK  vs  qemu-img convert -O raw of the same image (target: CPU ratio <= 1.0)
#   list    tessary ls of the 50,000-file NTFS volume of ntfs_bench.sh through VHD, VDI and VMDK  vs  the
#           same listing through VHDX (target: CPU ratio <= 1.2)
# The images are built on demand into $TESSARY_BENCH_CACHE (default ~/.cache/tessary-bench), never
# committed. Needs qemu-img, GNU time, bc, and for the listing what ntfs_bench.sh needs (root, ntfs-3g).
# Usage: bench/formats_bench.sh [BUILD_DIR] [export|list|all]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
what=${2:-all}
cli=$build/tessary
[ -x "$cli" ] || { echo "build $cli first" >&2; exit 1; }
cache=${TESSARY_BENCH_CACHE:-$HOME/.cache/tessary-bench}
mkdir -p "$cache"
formats=("vhdx vhdx" "vhd vpc" "vdi vdi" "vmdk vmdk")

cpu() {  # command...: prints the CPU time (user + system) in seconds; output is discarded
  /usr/bin/time -f "%U %S" -o "$cache/time.out" "$@" >/dev/null 2>"$cache/err.out" || { cat "$cache/err.out" >&2; return 1; }
  read -r user system <"$cache/time.out"
  echo "$user + $system" | bc
}

if [ "$what" = export ] || [ "$what" = all ]; then
  if [ ! -f "$cache/export2g.vmdk" ]; then
    echo "== building the 2 GiB disk in $cache (once)" >&2
    raw=$cache/export2g.raw
    rm -f "$raw"
    truncate -s 2G "$raw"
    for i in 0 2 4 6 8 10 12 14; do
      head -c $((128 << 20)) /dev/urandom | dd of="$raw" bs=1M seek=$((i * 128)) conv=notrunc status=none
    done
    for pair in "${formats[@]}"; do
      read -r ext format <<<"$pair"
      qemu-img convert -f raw -O "$format" "$raw" "$cache/export2g.$ext"
    done
    rm -f "$raw"
  fi
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  echo "== export the whole 2 GiB disk (CPU seconds)"
  printf '%-6s %10s %10s %8s\n' format tessary qemu-img ratio
  for pair in "${formats[@]}"; do
    read -r ext format <<<"$pair"
    image=$cache/export2g.$ext
    cat "$image" >/dev/null
    ours=$(cpu "$cli" export "$image" --out "$out" --quiet)
    theirs=$(cpu qemu-img convert -f "$format" -O raw "$image" "$out/qemu.raw")
    cmp -s "$out/export2g.$ext.img" "$out/qemu.raw" || { echo "export of $ext differs from qemu-img's raw disk" >&2; exit 1; }
    rm -f "$out/export2g.$ext.img" "$out/qemu.raw"
    printf '%-6s %10.2f %10.2f %8.2f\n' "$ext" "$ours" "$theirs" "$(echo "$ours / $theirs" | bc -l)"
  done
fi

if [ "$what" = list ] || [ "$what" = all ]; then
  # The volume of ntfs_bench.sh, built there once; its twins are made here.
  [ -f "$cache/ntfs50k.vhdx" ] || bash "$here/ntfs_bench.sh" "$build" none
  for pair in "${formats[@]:1}"; do
    read -r ext format <<<"$pair"
    [ -f "$cache/ntfs50k.$ext" ] || qemu-img convert -f vhdx -O "$format" "$cache/ntfs50k.vhdx" "$cache/ntfs50k.$ext"
  done
  echo "== list every entry of the 50,000-file volume (CPU seconds, best of 3)"
  best() {  # command...: the lowest CPU time of three runs
    local low=""
    for _ in 1 2 3; do
      local t
      t=$(cpu "$@")
      if [ -z "$low" ] || [ "$(echo "$t < $low" | bc)" = 1 ]; then low=$t; fi
    done
    echo "$low"
  }
  cat "$cache"/ntfs50k.* >/dev/null
  base=$(best "$cli" ls "$cache/ntfs50k.vhdx" --volume 0 --quiet)
  printf '%-6s %10s %8s\n' format tessary "ratio to vhdx"
  printf '%-6s %10.2f %8.2f\n' vhdx "$base" 1
  for pair in "${formats[@]:1}"; do
    read -r ext format <<<"$pair"
    "$cli" ls "$cache/ntfs50k.$ext" --volume 0 --quiet | cmp -s - <("$cli" ls "$cache/ntfs50k.vhdx" --volume 0 --quiet) ||
      { echo "listing through $ext differs from the one through vhdx" >&2; exit 1; }
    t=$(best "$cli" ls "$cache/ntfs50k.$ext" --volume 0 --quiet)
    printf '%-6s %10.2f %8.2f\n' "$ext" "$t" "$(echo "$t / $base" | bc -l)"
  done
fi
