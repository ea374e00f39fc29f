#!/usr/bin/env bash
# The demo on a fresh Debian 12 machine: installs what is missing, builds the command line only, then on
# the sample image lists the NTFS volume's tree with the deleted file marked, recovers that deleted file,
# shows that its bytes came back, and ends with a summary. The GUI and the tests are not built here.
set -euo pipefail
cd "$(dirname "$0")/.."
began=$(date +%s)
bash scripts/deps.sh

# The command line alone (scripts/screenshots.sh and scripts/test.sh build in folders of their own).
build=build
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Light optimisation compiles faster; the sample is small enough for it to make no difference.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
      -DTESSARY_GUI=OFF -DTESSARY_TESTS=OFF -DTESSARY_BENCH=OFF -DTESSARY_FUZZ=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --target tessary -j"$(nproc)"
tessary=$build/tessary
built=$(date +%s)

work=$build/sample
mkdir -p "$work"
xz -dc tests/fixtures/sample.vhdx.xz > "$work/sample.vhdx"
image=$work/sample.vhdx

echo
echo "== The image and its volumes"
"$tessary" info "$image"
"$tessary" volumes "$image"

echo
echo "== The NTFS volume's files (x = deleted; the volume's own \$ system files left out)"
"$tessary" ls "$image" --volume 0 > "$work/ls.txt"
# Entry lines start with d or - and the deleted mark; a header line, if any, is kept as it is.
grep -v -E '^[d-][x ] .*  \$' "$work/ls.txt" | sed -E 's/^(-x .*)$/\1    <== deleted/'
"$tessary" ls "$image" --volume 0 --json > "$work/ls.json"
entries=$(grep -c '"path"' "$work/ls.json" || true)
deleted_files=$(grep '"deleted":true' "$work/ls.json" | grep -c '"folder":false' || true)
# The first deleted file that is not one of the volume's system files.
line=$(grep '"deleted":true' "$work/ls.json" | grep '"folder":false' | grep -v '"path":"\$' | head -n 1)
if [ -z "$line" ]; then
  echo "demo.sh: the sample lists no deleted file" >&2
  exit 1
fi
path=$(sed -E 's/.*"path":"([^"]*)".*/\1/' <<<"$line")
size=$(sed -E 's/.*"size":([0-9]+).*/\1/' <<<"$line")

echo
echo "== Recovering the deleted file $path"
out=$work/recovered
rm -rf "$out"
"$tessary" recover "$image" --volume 0 --out "$out" --quiet "$path"
saved=$out/$path
if [ ! -f "$saved" ]; then
  echo "demo.sh: $path was not written" >&2
  exit 1
fi
written=$(stat -c %s "$saved")
ls -l "$saved"
echo "-- its first lines:"
head -n 3 "$saved" | cut -c1-100
ended=$(date +%s)

echo
echo "== Summary"
echo "entries listed on the NTFS volume:  $entries ($deleted_files deleted files)"
echo "deleted file recovered:             $path"
echo "bytes the volume gives it / written: $size / $written"
if [ "$size" = "$written" ]; then
  echo "result:                             the deleted file came back whole"
else
  echo "result:                             the deleted file came back short" >&2
  exit 1
fi
echo "build $((built - began)) s, demo $((ended - built)) s, output in $out"
