#!/usr/bin/env bash
# Builds the Windows programs and, for Windows, the tests that need no Linux tool (their images are
# built in code), runs those under Wine and prints how many passed and were skipped (tests that
# need mkfs, qemu-img and the like skip themselves there, each with its reason). Then a smoke test
# of both programs: images made by the builders are trimmed by quorvex.exe under Wine and by the
# Linux build, the two outputs must be the same bytes, and every used sector must read back.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine wine64 groff-base zip
build=build-windows
# Only the folders whose tests build for Windows; each links the whole library, so every folder
# costs a link.
tests="image;text;platform;formats/vhdx;formats/vdi;formats/vmdk;fs/hfsplus;formats/split_raw;formats/read_only"
# Tests that run bash, ulimit or qemu-img without asking whether they are there: the tools they
# need do not exist on Windows.
linux_only=(
  "VhdxEndToEnd.PendingLogIsRefused:qemu-img makes its image"
  "VhdxFaults.HostileSurroundings:bash and ulimit -f make the disk full"
  "VdiFaults.ImageStaysAsItWas:bash runs the tool, ulimit -f makes the disk full"
  "VmdkFaults.WriteFailingMidwayLeavesNothing:bash and ulimit -f make the disk full"
)
filter="-"
for entry in "${linux_only[@]}"; do filter+="${entry%%:*}:"; done
cmake -S . -B $build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQX_WERROR=ON -DQX_ZSTD=OFF -DQX_LUKS=OFF -DBUILD_TESTING=ON -DQX_GTEST_SOURCE=/usr/src/googletest \
  "-DQX_TEST_ONLY=$tests" >/dev/null
targets=(quorvex quorvex-inspect)
for t in ${tests//;/ }; do targets+=("test_${t//\//_}"); done
cmake --build $build -j"$(nproc)" --target "${targets[@]}" >/dev/null
built=$(date +%s)

export WINEDEBUG=-all WINEPREFIX="$PWD/$build/wine-prefix"
wineboot -i >/dev/null 2>&1 || true
passed=0
skipped=0
failed=0
for t in "${targets[@]:2}"; do
  log=$build/$t.log
  if wine "$build/tests/$t.exe" "--gtest_filter=$filter" >"$log" 2>&1; then :; else
    echo "windows: FAILED: $t"
    grep -E '^\[  FAILED  \]|Failure' "$log" | head -40 || true
    failed=$((failed + 1))
  fi
  n=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$log" | tail -1)
  passed=$((passed + ${n:-0}))
  skipped=$((skipped + ${s:-0}))
done

for entry in "${linux_only[@]}"; do
  echo "windows: skipped ${entry%%:*} (${entry#*:})"
  skipped=$((skipped + 1))
done

# The smoke test. Wine sees the Linux root as drive Z:.
[ -x build/quorvex ] || {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
  cmake --build build -j"$(nproc)" --target quorvex >/dev/null
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/original"
QX_SMOKE_DIR=$(winepath -w "$work/original") wine "$build/tests/test_platform.exe" \
  --gtest_filter=Smoke.WriteImages >"$work/write.log" 2>&1 || { cat "$work/write.log"; exit 1; }
cp -r "$work/original" "$work/linux"
cp -r "$work/original" "$work/windows"
smoke=0
for image in disk.vhdx disk.vdi disk.vhd disk.hdd disk.qcow2 split/d.vmdk disk.img; do
  build/quorvex -s "$work/linux/$image"
  wine "$build/quorvex.exe" /s "$(winepath -w "$work/windows/$image")"
  wine "$build/quorvex-inspect.exe" "$(winepath -w "$work/windows/$image")" >/dev/null
  smoke=$((smoke + 1))
done
# In place: where Wine punches holes the image must read as the Linux one does (a hole reads as
# zeros, so the bytes are the same); where it cannot, the run must end in the "no_holes" refusal
# with the image as it was.
build/quorvex -s --in-place "$work/linux/in-place/disk.img"
same=()
if wine "$build/quorvex.exe" /s --json --in-place "$(winepath -w "$work/windows/in-place/disk.img")" \
  >"$work/in-place.json" 2>"$work/in-place.err"; then
  echo "windows: the trim in place punched holes"
elif grep -q '"key": "no_holes"' "$work/in-place.json" &&
  cmp -s "$work/original/in-place/disk.img" "$work/windows/in-place/disk.img"; then
  echo "windows: skipped the trim in place (Wine cannot punch holes: refused as \"no_holes\", the image unchanged)"
  skipped=$((skipped + 1))
  same=(--exclude=in-place)
else
  echo "windows: FAILED: the trim in place neither trimmed nor was refused for want of holes with the image unchanged"
  cat "$work/in-place.json" "$work/in-place.err"
  failed=$((failed + 1))
  same=(--exclude=in-place)
fi
if ! diff -r ${same[@]+"${same[@]}"} "$work/linux" "$work/windows" >/dev/null; then
  echo "windows: FAILED: the Windows and the Linux trims differ"
  diff -r ${same[@]+"${same[@]}"} "$work/linux" "$work/windows" || true
  failed=$((failed + 1))
fi
[ -n "$(find "$work/windows" -name '*_DEL')" ] || { echo "windows: FAILED: no backups kept"; failed=$((failed + 1)); }
if ! QX_SMOKE_ORIGINALS=$(winepath -w "$work/original") QX_SMOKE_DIR=$(winepath -w "$work/windows") \
  wine "$build/tests/test_platform.exe" --gtest_filter=Smoke.UsedSectorsReadBack >"$work/check.log" 2>&1; then
  cat "$work/check.log"
  failed=$((failed + 1))
fi
echo "windows: $passed tests passed, $skipped skipped (they need Linux tools), $smoke images trimmed alike by" \
  "quorvex.exe and the Linux build; built in $((built - started)) s, run in $(($(date +%s) - built)) s"
[ "$failed" -eq 0 ]
