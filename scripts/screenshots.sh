#!/usr/bin/env bash
# Runs the desktop wizard under Xvfb on the sample image and writes a PNG of every page into
# docs/screenshots/ (needs xvfb and xauth: apt-get install xvfb xauth).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if ! command -v xvfb-run >/dev/null; then
  echo "screenshots.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2
  exit 1
fi
[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target tessary_gui_screenshots tessary_fixtures -j2
mkdir -p docs/screenshots
# The sample where a reader would unpack it, so the pages show a plain path.
sample=/tmp/tessary-screenshots/sample.vhdx
mkdir -p "$(dirname "$sample")"
xz -dc tests/fixtures/sample.vhdx.xz > "$sample"
# A real X server, so the pages are drawn by the desktop style and fonts the user would see.
export QT_QPA_PLATFORM=xcb ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/gui/tessary_gui_screenshots" docs/screenshots "$sample"
