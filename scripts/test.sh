#!/usr/bin/env bash
# Builds quorvex and runs the whole test suite. With --sanitize, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/ instead and runs the tests of what parses and
# writes under them (every test but the few listed below, which the plain suite runs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build
# The flags of scripts/demo.sh: what the demo built is reused.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON)
select=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_WERROR=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # Test suites whose time goes to the tools that judge what they made (qemu-img check and
  # convert, e2fsck, mkfs.xfs, groff) at every crash state or copy path, over writers that the
  # other tests run under the sanitizers too.
  plain_only=(PowerCut PowerCutSweep InPlacePowerCut InPlacePowerCutSweep CopyPaths ManualPages)
  select=(-E "^([^/.]*/)?($(IFS='|'; echo "${plain_only[*]}"))\\.")
fi
started=$SECONDS
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
built=$SECONDS
status=0
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure ${select[@]+"${select[@]}"} || status=$?
echo "test.sh: built in $((built - started)) s, tests ran in $((SECONDS - built)) s"
exit $status
