#!/usr/bin/env bash
# Runs each libFuzzer target for the given seconds from a copy of its seed corpus, and
# fails on the first crash (the input is kept in build-fuzz/artifacts/).
set -euo pipefail
seconds=${1:-30}
cd "$(dirname "$0")/.."
mkdir -p build-fuzz/artifacts
for t in reply ini numbers entry; do
  corpus=build-fuzz/corpus-$t
  rm -rf "$corpus" && mkdir -p "$corpus" && cp fuzz/corpus/$t/* "$corpus/"
  echo "fuzz_$t: ${seconds} s"
  # Short inputs: every behaviour fits in 128 bytes, and each run stays cheap.
  if ! ./build-fuzz/fuzz_$t -max_total_time="$seconds" -max_len=128 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "$corpus" > build-fuzz/fuzz_$t.log 2>&1; then
    tail -n 40 build-fuzz/fuzz_$t.log
    exit 1
  fi
  grep -E 'DONE|stat::number_of_executed_units|stat::average_exec_per_sec' build-fuzz/fuzz_$t.log
done
