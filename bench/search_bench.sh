#!/usr/bin/env bash
# Name search on the 50,000-file NTFS volume of bench/ntfs_bench.sh (built by that script on demand):
# bench_search_names opens the results page, times the parse, then times the page's search for literal,
# alternative, expression and match-everything patterns; `tessary ls` and `tessary search` are timed end
# to end beside it. Needs a build with -DTESSARY_BENCH=ON (Release recommended) and what ntfs_bench.sh
# needs to build the volume the first time. Usage: bench/search_bench.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
driver=$build/bench/bench_search_names
cli=$build/tessary
[ -x "$driver" ] && [ -x "$cli" ] || { echo "build $driver and $cli first (cmake -DTESSARY_BENCH=ON)" >&2; exit 1; }
. "$here/lib.sh"
image=$cache/ntfs50k.vhdx
# The volume builder is ntfs_bench.sh's; with nothing to measure it only builds (once) and warms the cache.
bash "$here/ntfs_bench.sh" "$build" none

echo "== parse, then search the names (inside one results page)"
"$driver" "$image" 2048 'file123' 'file123|file007_|dir249' '^file1[0-9]{2}_[0-9]*5\.txt$' '(f+i*)+l+e+\d+_' '.'
echo "== end to end"
measure "tessary ls" "$cli" ls "$image" --volume 0 --quiet
measure "tessary search file123" "$cli" search "$image" --volume 0 --quiet 'file123'
measure "tessary search ^file1[0-9]{2}_[0-9]*5\\.txt\$" "$cli" search "$image" --volume 0 --quiet '^file1[0-9]{2}_[0-9]*5\.txt$'
