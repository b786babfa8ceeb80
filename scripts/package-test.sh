#!/usr/bin/env bash
# Builds the Debian package, installs it with dpkg, uses the installed tools on an image made by
# qemu-img, and removes the package again, checking that nothing of it is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dpkg-dev groff-base man-db
# The package is made from the build of scripts/test.sh (and scripts/demo.sh), with their flags:
# after the suite there is nothing left to compile.
build=build
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
cmake --build $build -j"$(nproc)" >/dev/null
rm -f $build/*.deb
(cd $build && cpack -G DEB >/dev/null 2>&1)
deb=$(ls $build/quorvex_*.deb)
passed=0
failed=0
check() {  # description, then the command
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "package: FAILED: $what"; fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"; dpkg -r quorvex >/dev/null 2>&1 || true' EXIT

dpkg -r quorvex >/dev/null 2>&1 || true
check "dpkg -i installs it" dpkg -i "$deb" >/dev/null
check "the package depends on zlib" sh -c "dpkg-deb -f '$deb' Depends | grep -q zlib1g"
check "the package depends on the LUKS libraries" sh -c "dpkg-deb -f '$deb' Depends | grep -q libcryptsetup"
usage_status=0
/usr/bin/quorvex >"$work/usage" 2>&1 || usage_status=$?
check "quorvex with no argument prints its usage and exits 1" \
  sh -c "[ $usage_status -eq 1 ] && grep -q 'Usage:' '$work/usage'"
check "the manual pages render" sh -c "man -l /usr/share/man/man1/quorvex.1 >/dev/null 2>&1 &&
  man -l /usr/share/man/man1/quorvex-inspect.1 >/dev/null 2>&1"

# A small disk with a FAT32 volume whose deleted files leave dirty free space.
truncate -s 64M "$work/disk.raw"
printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$work/disk.raw"
head -c $((62 * 1024 * 1024)) /dev/urandom >"$work/part"
mkfs.vfat -F 32 "$work/part" >/dev/null
head -c $((8 * 1024 * 1024)) /dev/urandom >"$work/keep"
MTOOLS_SKIP_CHECK=1 mcopy -i "$work/part" "$work/keep" ::keep
dd if="$work/part" of="$work/disk.raw" bs=1M seek=1 conv=notrunc status=none
qemu-img convert -q -S 0 -f raw -O vpc -o subformat=dynamic "$work/disk.raw" "$work/disk.vhd"
before=$(stat -c %s "$work/disk.vhd")
/usr/bin/quorvex-inspect "$work/disk.vhd" >"$work/report" 2>&1 || true
check "quorvex-inspect finds the FAT volume" grep -q 'fat (2)' "$work/report"
check "quorvex trims the image" sh -c "/usr/bin/quorvex -d '$work/disk.vhd' | tail -1 | grep -qx SUCCESS"
check "the trimmed image is smaller" test "$(stat -c %s "$work/disk.vhd")" -lt "$before"
check "qemu-img reads it and the FAT volume checks out" sh -c \
  "qemu-img convert -f vpc -O raw '$work/disk.vhd' '$work/after.raw' &&
   dd if='$work/after.raw' of='$work/after.part' bs=1M skip=1 status=none &&
   fsck.vfat -n '$work/after.part' >/dev/null && MTOOLS_SKIP_CHECK=1 mtype -i '$work/after.part' ::keep | cmp -s - '$work/keep'"

listed=$(dpkg -L quorvex | grep -v -x -e /. -e /usr -e /usr/bin -e /usr/share -e /usr/share/man \
  -e /usr/share/man/man1 -e /usr/share/doc -e /usr/share/doc/quorvex | sort | tr '\n' ' ')
check "the package holds the tools, their pages and its documentation only" test "$listed" = \
  "/usr/bin/quorvex /usr/bin/quorvex-inspect /usr/share/doc/quorvex/README.md /usr/share/man/man1/quorvex-inspect.1 /usr/share/man/man1/quorvex.1 "
check "dpkg -r removes it" dpkg -r quorvex >/dev/null
check "nothing of it is left" sh -c "! ls /usr/bin/quorvex /usr/bin/quorvex-inspect \
  /usr/share/man/man1/quorvex.1 /usr/share/doc/quorvex >/dev/null 2>&1"
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
