#!/usr/bin/env bash
# Cross-builds the command line and the unit tests for Windows x64 with mingw-w64 (folder build-win) and
# runs them under Wine: the unit tests, `tessary.exe recover` on the sample image (contents and times
# checked against its manifest), and a recovery of names Windows cannot hold.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TESSARY_WIN_BUILD:-build-win}

packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest libcli11-dev nlohmann-json3-dev wine64 cmake
          ninja-build xz-utils python3 qemu-utils ntfs-3g)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "test-windows: missing packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DTESSARY_GUI=OFF "${launcher[@]}"
cmake --build "$build" -j"$(nproc)" --target tessary tessary_tests

wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEPREFIX="$root/$build/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
if [ ! -f "$WINEPREFIX/system.reg" ]; then "$wine" wineboot --init >/dev/null 2>&1 || true; fi

echo "== unit tests under Wine"
(cd "$build/tests" && "$wine" ./tessary_tests.exe --gtest_brief=1)

scratch="$root/$build/cli-tests"
rm -rf "$scratch"
mkdir -p "$scratch"

echo "== tessary.exe recover on the sample image"
"$wine" "$build/tessary.exe" recover "$build/tests/fixtures/sample.vhdx" --volume 0 --out "$scratch/sample" --quiet
python3 - "$build/tests/fixtures/sample.json" "$scratch/sample" <<'PY'
import calendar, hashlib, json, os, sys, time
manifest, out = json.load(open(sys.argv[1])), sys.argv[2]
def seconds(iso):
    return calendar.timegm(time.strptime(iso, "%Y-%m-%dT%H:%M:%SZ"))
checked = 0
for volume in manifest["volumes"]:
    if volume["file_system"] != "NTFS":
        continue
    for e in volume["entries"]:
        host = os.path.join(out, e["path"])
        if e["folder"]:
            assert os.path.isdir(host), host
            continue
        st = os.stat(host)
        assert int(st.st_mtime) == seconds(e["modified"]), (host, "modified")
        assert int(st.st_atime) == seconds(e["accessed"]), (host, "accessed")
        assert hashlib.sha256(open(host, "rb").read()).hexdigest() == e["sha256"], (host, "content")
        checked += 1
assert checked > 0
print(f"sample: {checked} files with their contents and times")
PY

echo "== names Windows cannot hold"
# An NTFS volume made by ntfs-3g (which takes any name but '/'), as a VHDX.
names="$scratch/names"
mkdir -p "$names/mnt"
if truncate -s 16M "$names/ntfs.img" && mkntfs -q -F -f "$names/ntfs.img" >/dev/null 2>&1 &&
   ntfs-3g "$names/ntfs.img" "$names/mnt" 2>/dev/null; then
  printf device > "$names/mnt/CON.txt"
  printf stream > "$names/mnt/a:b"
  printf trailing > "$names/mnt/trailing. "
  printf plain > "$names/mnt/plain.txt"
  umount "$names/mnt"
  qemu-img convert -f raw -O vhdx "$names/ntfs.img" "$names/names.vhdx"
  # The volume fills the disk without a partition table: it is named by its sectors.
  "$wine" "$build/tessary.exe" recover "$names/names.vhdx" --start-sector 0 --end-sector 32767 --fs NTFS \
    --out "$names/out" --quiet > /dev/null 2> "$names/err.txt"
  for saved in "_CON.txt:device" "a_b:stream" "trailing_:trailing" "plain.txt:plain"; do
    file=${saved%%:*}
    want=${saved#*:}
    [ "$(cat "$names/out/$file")" = "$want" ] || { echo "names: $file does not hold $want" >&2; exit 1; }
  done
  for reported in "CON.txt" "a:b" "trailing."; do
    grep -qF "(the output folder cannot hold the name: $reported)" "$names/err.txt" ||
      { echo "names: $reported is not reported" >&2; cat "$names/err.txt" >&2; exit 1; }
  done
  echo "names: saved safely and reported"
else
  echo "names: skipped (no loop file system with ntfs-3g here)"
fi
echo "test-windows: all passed"
