# Shared by the benchmark scripts (sourced): the cache folder the large volumes are built into, never
# committed, and the timing of one command.
cache=${TESSARY_BENCH_CACHE:-$HOME/.cache/tessary-bench}
mkdir -p "$cache"

# measure LABEL COMMAND...: runs COMMAND with its output discarded and prints its wall time, CPU time
# (user + system, what the ratios compare, since it holds up when other work shares the machine) and peak
# memory, leaving them in $wall, $cpu and $peak. A bench driver's own summary lines ("tessary...") on
# stderr are shown below; the whole stderr stays in $cache/err.out.
measure() {
  local label=$1 user system
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$cache/time.out" "$@" >/dev/null 2>"$cache/err.out" || { cat "$cache/err.out" >&2; return 1; }
  read -r wall user system peak <"$cache/time.out"
  cpu=$(echo "$user + $system" | bc)
  printf '%-34s %8.2f s   cpu %7.2f s   peak %8d KiB\n' "$label" "$wall" "$cpu" "$peak"
  grep '^tessary' "$cache/err.out" | sed 's/^/    /' || true
}
