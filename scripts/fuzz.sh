#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each for SECONDS (default 60) on seeds made by the real tools. A finding stops the run with
# status 1 and leaves its input in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh clang libclang-rt-14-dev
build=build-fuzz
cmake -S . -B $build -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build $build -j"$(nproc)" >/dev/null
rm -rf $build/seeds
bash fuzz/make_seeds.sh "$PWD/$build/seeds"
mkdir -p $build/findings
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for bin in $build/fuzz/*_fuzz; do
  name=$(basename "$bin")
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  log=$build/$name.log
  if "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=2200000 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$name-" "$corpus" "$build/seeds/$name" \
      >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "$name: $runs executions in $seconds s, no finding"
  else
    echo "$name: FINDING (see $log and $build/findings/)"
    tail -40 "$log"
    status=1
  fi
done
exit $status
