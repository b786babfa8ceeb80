#!/usr/bin/env bash
# Builds quorvex and runs the test suite. With --sanitize, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/ instead and runs the tests of what parses and
# writes under them. Each test runs in one of the two, or in both: the few suites named below run
# in one only. CI runs both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build
# The flags of scripts/demo.sh: what the demo built is reused.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON)
# The failure sweeps: a trim failed at every file call and read of each writer, in this process.
# Their point is what the writers' error paths leave, which the sanitizers watch best.
skipped=(ReadFaults FailurePoints)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_WERROR=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # Test suites whose time goes to the tools that judge what they made (qemu-img check and
  # convert, e2fsck, mkfs.xfs, groff) at every crash state or copy path, over writers that the
  # other tests run under the sanitizers too. LuksDiskTrim and LuksDisks decrypt and key whole
  # disks over and over (ten minutes and more under the sanitizers); the Luks and cipher tests run
  # the same header reading, unlocking and decryption under them, and the fuzz target the mapping.
  skipped=(PowerCut PowerCutSweep InPlacePowerCut InPlacePowerCutSweep CopyPaths ManualPages LuksDiskTrim LuksDisks)
fi
echo "test.sh: the other suite runs ${skipped[*]}"
started=$SECONDS
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
built=$SECONDS
status=0
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure -E "^([^/.]*/)?($(IFS='|'; echo "${skipped[*]}"))\\." ||
  status=$?
echo "test.sh: built in $((built - started)) s, tests ran in $((SECONDS - built)) s"
exit $status
