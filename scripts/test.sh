#!/usr/bin/env bash
# Builds quorvex and runs the whole test suite. With --sanitize, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/ instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build
# The flags of scripts/demo.sh: what the demo built is reused.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_WERROR=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
