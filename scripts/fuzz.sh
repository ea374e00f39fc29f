#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in build-fuzz and
# runs one of them, or each in turn, for SECONDS with its seed corpus and its dictionary
# (fuzz/dict/FORMAT.dict). Exits non-zero on a finding (a crash, a sanitizer report, a leak, an input
# slower than the timeout, one that needs more memory than the limit) or a failed build. The input that
# caused it is kept as tests/regressions/TARGET/KIND-HASH, which the test suite replays through the same
# target (tessary_fuzz_replay); commit it with the fix.
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   scripts/fuzz.sh all SECONDS [libFuzzer options...]     every target, SECONDS each
#   scripts/fuzz.sh list                                   the targets
# Environment: FUZZ_JOBS (parallel fuzzing processes per target, default 1), FUZZ_BUILD (build folder).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${FUZZ_BUILD:-build-fuzz}
target=${1:?usage: scripts/fuzz.sh TARGET|all|list [SECONDS] [libFuzzer options...]}
seconds=${2:-}
shift $(( $# >= 2 ? 2 : $# ))

# clang 14 and its libFuzzer runtime (Debian 12 packages), installed when missing and run as root.
cxx=${FUZZ_CXX:-clang++-14}
if ! command -v "$cxx" >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update && apt-get install -y --no-install-recommends clang-14 libfuzzer-14-dev
  else
    echo "fuzz.sh: $cxx and libfuzzer-14-dev are needed (apt-get install clang-14 libfuzzer-14-dev)" >&2
    exit 2
  fi
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Fuzz \
    -DCMAKE_CXX_FLAGS_FUZZ="-O2" -DTESSARY_FUZZ=ON -DTESSARY_TESTS=OFF -DTESSARY_GUI=OFF >/dev/null
else
  cmake "$build" >/dev/null
fi
mapfile -t listed <"$build/fuzz_targets.txt"
names=()
declare -A max_len
for line in "${listed[@]}"; do
  [ -n "$line" ] || continue
  names+=("${line%% *}")
  max_len[${line%% *}]=${line##* }
done

if [ "$target" = list ]; then
  printf '%s\n' "${names[@]}"
  exit 0
fi
: "${seconds:?usage: scripts/fuzz.sh TARGET|all SECONDS}"
if [ "$target" = all ]; then
  run=("${names[@]}")
else
  [ -n "${max_len[$target]:-}" ] || { echo "fuzz.sh: no target $target (scripts/fuzz.sh list)" >&2; exit 2; }
  run=("$target")
fi

cmake --build "$build" -j"$(nproc)" --target "${run[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# User + system seconds of this shell's finished children (the fuzzer's: taken before and after its run).
ticks=$(getconf CLK_TCK)
cpu_seconds() { awk -v hz="$ticks" '{ printf "%.2f", ($16 + $17) / hz }' "/proc/$$/stat"; }
failed=()
for t in "${run[@]}"; do
  seeds=$build/seeds/$t corpus=$build/corpus/$t findings=$build/findings/$t regressions=tests/regressions/$t
  # The findings folder holds this run's inputs only; earlier ones live on in tests/regressions/.
  rm -rf "$seeds" "$findings"
  mkdir -p "$corpus" "$findings"
  FUZZ_FIXTURE_CACHE=$build/fixture-cache bash fuzz/make_seeds.sh "$t" "$seeds"
  [ ! -d "fuzz/seeds/$t" ] || cp fuzz/seeds/"$t"/* "$seeds"/ 2>/dev/null || true
  # Inputs that once failed are seeds too: one that fails again ends the run at once.
  [ ! -d "$regressions" ] || cp "$regressions"/* "$seeds"/ 2>/dev/null || true
  dict=fuzz/dict/${t%_fuzz}.dict
  dictionary=()
  [ ! -f "$dict" ] || dictionary=(-dict="$dict")
  log=$build/$t.log
  echo "== $t: $seconds s, $(ls "$seeds" | wc -l) seeds, max_len ${max_len[$t]}$([ ! -f "$dict" ] || echo ", $dict")"
  jobs=${FUZZ_JOBS:-1}
  # One process has no one else's finds to read back from the corpus folder.
  parallel=(-reload=0)
  [ "$jobs" -le 1 ] || parallel=(-jobs="$jobs" -workers="$jobs")
  status=0
  before=$(cpu_seconds)
  "$build/fuzz/$t" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=30 -rss_limit_mb=2560 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dictionary[@]}" "${parallel[@]}" "$@" "$corpus" "$seeds" \
    >"$log" 2>&1 || status=$?
  cpu=$(awk -v a="$before" -v b="$(cpu_seconds)" 'BEGIN { printf "%.1f", b - a }')
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|Done [0-9]+ runs)' "$log" || true
  executed=$(awk '/^stat::number_of_executed_units/ { print $2 }' "$log")
  [ -z "$executed" ] || awk -v n="$executed" -v c="$cpu" -v t="$t" \
    'BEGIN { printf "== %s: %d executions in %.1f CPU s (%d per CPU-second)\n", t, n, c, (c > 0 ? n / c : 0) }'
  if [ "$status" -ne 0 ]; then
    echo "== $t: FINDING (exit $status); the log is $log" >&2
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|ALARM|out-of-memory' "$log" | head -20 >&2 || true
    # Each input libFuzzer wrote (crash-, leak-, timeout-, oom-SHA1) is kept under a short name of its kind.
    for found in "$findings"/*; do
      [ -f "$found" ] || continue
      base=$(basename "$found")
      kind=${base%%-*}
      mkdir -p "$regressions"
      kept=$regressions/$kind-$(sha1sum "$found" | cut -c1-12)
      cp "$found" "$kept"
      echo "== $t: kept $kept (replayed by tessary_fuzz_replay; commit it with the fix)" >&2
    done
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in ${failed[*]}" >&2
  exit 1
fi
