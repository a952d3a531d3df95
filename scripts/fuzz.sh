#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for SECONDS (default 25)
# from its seed corpus in fuzz/corpus, two targets at a time. New inputs go to a
# scratch folder (the seed corpus stays as it is); any finding fails the run and
# its input is kept under build/fuzz/findings/ to be added to the seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-25}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -- -j"$(nproc)"

out=build/fuzz/out
scratch=build/fuzz/scratch
findings=build/fuzz/findings
rm -rf "$scratch"
mkdir -p "$scratch" "$findings"

run() {
  local name="$1"
  mkdir -p "$scratch/$name"
  if "$out/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/$name-" \
      "$scratch/$name" "fuzz/corpus/$name" >"$scratch/$name.log" 2>&1; then
    echo "fuzz $name: ok, $(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$scratch/$name.log" |
      grep -Eo '[0-9]+') runs, $(grep -Eo 'cov: [0-9]+' "$scratch/$name.log" | tail -1)"
  else
    echo "fuzz $name: FINDING (inputs under $findings)"
    tail -n 40 "$scratch/$name.log"
    return 1
  fi
}

targets=()
for binary in "$out"/fuzz_*; do targets+=("$(basename "$binary" | sed 's/^fuzz_//')"); done
status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for name in "${targets[@]:i:2}"; do
    run "$name" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
exit $status
