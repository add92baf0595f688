#!/usr/bin/env bash
# Runs each libFuzzer target for the given seconds from a copy of its seed corpus, and
# fails on the first crash (the input is kept in build-fuzz/artifacts/).
set -euo pipefail
seconds=${1:-30}
cd "$(dirname "$0")/.."
mkdir -p build-fuzz/artifacts
# A run frees everything it made; a 16 MB quarantine still holds many runs' worth for
# use-after-free reports, without touching fresh pages on every allocation.
export ASAN_OPTIONS="quarantine_size_mb=16${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# Short inputs keep runs cheap: 64 bytes hold a reply, seven misses and the recovery, or
# a long burst of keys; 128 hold a settings file with its section and two of the keys;
# 256 hold a few remote lines of several commands, a wait and the state changes ending it.
for target in reply:64 ini:128 entry:64 command:256; do
  t=${target%:*} max_len=${target#*:}
  corpus=build-fuzz/corpus-$t
  rm -rf "$corpus" && mkdir -p "$corpus" && cp fuzz/corpus/$t/* "$corpus/"
  dict=()
  [ -f fuzz/$t.dict ] && dict=(-dict=fuzz/$t.dict)
  echo "fuzz_$t: ${seconds} s"
  if ! ./build-fuzz/fuzz_$t -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix=build-fuzz/artifacts/ "$corpus" > build-fuzz/fuzz_$t.log 2>&1; then
    tail -n 40 build-fuzz/fuzz_$t.log
    exit 1
  fi
  grep -E 'DONE|stat::number_of_executed_units|stat::average_exec_per_sec' build-fuzz/fuzz_$t.log
done
