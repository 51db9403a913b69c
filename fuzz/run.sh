#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, each on a copy of its
# seed corpus in a temporary directory, so nothing is written into the checkout.
#   fuzz/run.sh <build-dir> <seconds per target>
# A crash, a timeout, a leak or a sanitizer report fails the run; the failing input
# is kept (its path is printed) and dumped to the log.
set -euo pipefail

build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-60}
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/fyrnol-fuzz.XXXXXX")
status=0

for target in config options; do
  dir="$work/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "$src/corpus/$target/." "$dir/corpus/" -R
  echo "fuzz_$target: ${seconds}s, seed 1"
  if (cd "$dir" && TMPDIR="$dir" "$build/fuzz_$target" -seed=1 -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -dict="$src/$target.dict" \
        -artifact_prefix="$dir/artifacts/" corpus >"$dir/log" 2>&1); then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$dir/log" || true
  else
    status=1
    tail -n 60 "$dir/log"
    for a in "$dir"/artifacts/*; do
      [ -f "$a" ] || continue
      echo "failing input: $a"
      od -A d -c "$a" | head -n 40
    done
  fi
done

if [ "$status" -eq 0 ]; then
  rm -rf "$work"
else
  echo "fuzzing found a failure; inputs and logs kept in $work"
fi
exit "$status"
