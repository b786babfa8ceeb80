#!/usr/bin/env bash
# Builds quorvex, makes a demo disk image in demo/ (a dynamic VHD, or a QCOW2 image with `qcow2` as
# the argument, holding an MBR disk with a FAT32 and an ext3 partition, files on both and the data
# of deleted files in their free space), trims it, shows the sizes before and after, and checks
# that every file reads back unchanged and that both file systems pass their own checkers.
# Usage: bash scripts/demo.sh [vhd|qcow2]
set -euo pipefail
case ${1:-vhd} in
  vhd) qfmt=vpc qopts="-o subformat=dynamic" ext=vhd ;;
  qcow2) qfmt=qcow2 qopts="" ext=qcow2 ;;
  *) echo "Usage: bash scripts/demo.sh [vhd|qcow2]"; exit 1 ;;
esac
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The flags of scripts/test.sh, so that the suite reuses what is built here.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" --target quorvex >/dev/null
quorvex=$PWD/build/quorvex

rm -rf demo
mkdir -p demo/files demo/trash
cd demo
MiB=$((1024 * 1024))
fat_start=2048 fat_sectors=$((160 * 2048))            # 160 MiB
ext_start=$((fat_start + fat_sectors)) ext_sectors=$((350 * 2048))  # 350 MiB

echo "== Making the demo disk (512 MiB raw, MBR: FAT32 + ext3)"
# Old data everywhere, as on a disk that has been in use for a while.
head -c $((512 * MiB)) /dev/urandom >disk.raw
printf 'label: dos\nstart=%d, size=%d, type=c\nstart=%d, size=%d, type=83\n' \
  $fat_start $fat_sectors $ext_start $ext_sectors | sfdisk -q disk.raw
for i in 1 2 3 4; do head -c $((10 * MiB + i * 4321)) /dev/urandom >files/keep$i; done
for i in 1 2 3; do head -c $((30 * MiB)) /dev/urandom >trash/old$i; done

# FAT32: built in its own file, files copied in, old files deleted, then put in place.
dd if=disk.raw of=fat.part bs=512 skip=$fat_start count=$fat_sectors status=none
mkfs.vfat -F 32 -h $fat_start -n DEMO fat.part >/dev/null
for f in trash/*; do mcopy -i fat.part "$f" ::/; done
for f in files/*; do mcopy -i fat.part "$f" ::/; done
mdel -i fat.part ::/old1 ::/old2 ::/old3
dd if=fat.part of=disk.raw bs=512 seek=$fat_start conv=notrunc status=none

# ext3: made from a folder holding both, then the old files deleted.
mkdir ext.tree && cp files/* trash/* ext.tree/
dd if=disk.raw of=ext.part bs=512 skip=$ext_start count=$ext_sectors status=none
mke2fs -q -F -t ext3 -E nodiscard -d ext.tree ext.part
for f in old1 old2 old3; do debugfs -w -R "rm /$f" ext.part >/dev/null 2>&1; done
dd if=ext.part of=disk.raw bs=512 seek=$ext_start conv=notrunc status=none
rm -rf ext.tree fat.part ext.part

# An image that holds every block the guest ever wrote, and what qemu-img itself makes of it.
qemu-img convert -f raw -O $qfmt $qopts -S 0 disk.raw disk.$ext
qemu-img convert -f $qfmt -O $qfmt $qopts disk.$ext qemu-compacted.$ext
qemu-img convert -f $qfmt -O raw disk.$ext before.raw
rm disk.raw

echo "== Trimming: quorvex demo/disk.$ext"
"$quorvex" disk.$ext
echo

size() { stat -c %s "$1"; }
human() { numfmt --to=iec-i --suffix=B "$1"; }
before=$(size disk.$ext"_DEL") after=$(size disk.$ext) qemu=$(size qemu-compacted.$ext)
printf '%-38s %12s  %s\n' "before (demo/disk.$ext""_DEL)" "$before" "$(human "$before")"
printf '%-38s %12s  %s\n' "after  (demo/disk.$ext)" "$after" "$(human "$after")"
printf '%-38s %12s  %s\n' "qemu-img convert -O $qfmt, for comparison" "$qemu" "$(human "$qemu")"

echo "== Checking the trimmed image"
fail() { echo "FAILED: $*"; exit 1; }
qemu-img convert -f $qfmt -O raw disk.$ext after.raw
cmp -n $((fat_start * 512)) before.raw after.raw || fail "the partition table changed"
echo "partition table: unchanged"
dd if=after.raw of=fat.part bs=512 skip=$fat_start count=$fat_sectors status=none
dd if=after.raw of=ext.part bs=512 skip=$ext_start count=$ext_sectors status=none
fsck.vfat -n fat.part >/dev/null || fail "fsck.vfat -n"
echo "FAT32: fsck.vfat -n passes"
e2fsck -fn ext.part >/dev/null 2>&1 || fail "e2fsck -fn"
echo "ext3: e2fsck -fn passes"
mkdir -p back
for f in files/*; do
  n=$(basename "$f")
  mcopy -n -i fat.part "::/$n" "back/fat.$n"
  debugfs -R "dump /$n back/ext.$n" ext.part 2>/dev/null
  cmp "$f" "back/fat.$n" || fail "$n differs on FAT32"
  cmp "$f" "back/ext.$n" || fail "$n differs on ext3"
done
echo "every file reads back identical from both file systems"
rm -rf back fat.part ext.part before.raw after.raw
