#!/usr/bin/env bash
# Seed corpus of exfat_fuzz: the exFAT volumes of the committed fixtures (exfat_tree, and exfat_noboot
# with its boot sector zeroed) cut after their first 3 MiB, which hold the boot region, the FAT and the
# heap's first clusters with the root and its folders.
# Needs xz, qemu-img, dd.  Usage: fuzz/exfat_seeds.sh OUTDIR
set -euo pipefail
out=${1:?usage: exfat_seeds.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../tests/fixtures
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in exfat_tree exfat_noboot; do
  xz -dc "$fixtures/$name.vhdx.xz" >"$work/$name.vhdx"
  qemu-img convert -f vhdx -O raw "$work/$name.vhdx" "$work/$name.raw"
  # The volume starts at sector 2048.
  dd if="$work/$name.raw" of="$out/$name" bs=512 skip=2048 count=6144 status=none
done
