#!/usr/bin/env bash
# Runs the desktop wizard under Xvfb on the sample image and redraws a PNG of every page and dialog into
# docs/screenshots/ (needs xvfb and xauth: apt-get install xvfb xauth). It builds in a folder of its own,
# so it works on a fresh clone, after scripts/demo.sh and beside a test build alike.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-screenshots}
if ! command -v xvfb-run >/dev/null; then
  echo "screenshots.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2
  exit 1
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# The screenshot program lives with the GUI tests, so both the GUI and the tests are on here.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_GUI=ON -DTESSARY_TESTS=ON \
      -DTESSARY_SANITIZE=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --target tessary_gui_screenshots tessary_fixtures tessary_default_signatures -j"$(nproc)"
mkdir -p docs/screenshots
# Pictures of pages that no longer exist are not left behind.
rm -f docs/screenshots/*.png
# The sample where a reader would unpack it, so the pages show a plain path.
sample=/tmp/tessary-screenshots/sample.vhdx
mkdir -p "$(dirname "$sample")"
xz -dc tests/fixtures/sample.vhdx.xz > "$sample"
# A real X server, so the pages are drawn by the desktop style and fonts the user would see.
export QT_QPA_PLATFORM=xcb ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/gui/tessary_gui_screenshots" docs/screenshots "$sample"
