#!/usr/bin/env bash
# Seed corpora made by the real tools: small volumes, disks and images, each prefixed with the
# selector byte its target reads first. Usage: make_seeds.sh OUTPUT_FOLDER
set -uo pipefail
out=$1
mkdir -p "$out"/{detect_fuzz,volume_fuzz,fs_fuzz,text_fuzz,vmdk_fuzz}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

prefixed() {  # selector byte (decimal), input file, output file
  { printf "\\$(printf '%03o' "$1")"; cat "$2"; } >"$3"
}
dirty() { head -c "$2" /dev/urandom >"$1"; }

# Volumes, each with its reader's kind.
dirty fat.img $((512 * 1024)) && mkfs.vfat -n SEED fat.img >/dev/null 2>&1 && prefixed 2 fat.img "$out/fs_fuzz/fat"
dirty ext2.img $((512 * 1024)) && mke2fs -q -F -t ext2 -b 1024 -E nodiscard ext2.img >/dev/null 2>&1 &&
  prefixed 1 ext2.img "$out/fs_fuzz/ext2"
dirty ext4.img $((1024 * 1024)) && mke2fs -q -F -t ext4 -b 1024 -E nodiscard ext4.img >/dev/null 2>&1 &&
  prefixed 1 ext4.img "$out/fs_fuzz/ext4"
dirty ntfs.img $((1024 * 1024)) && mkntfs -q -F -f -s 512 -c 512 ntfs.img >/dev/null 2>&1 &&
  prefixed 0 ntfs.img "$out/fs_fuzz/ntfs"
dirty exfat.img $((1024 * 1024)) && mkfs.exfat exfat.img >/dev/null 2>&1 && prefixed 4 exfat.img "$out/fs_fuzz/exfat"

# Disks: MBR and GPT, each with the FAT volume in its partition.
for table in dos gpt; do
  truncate -s 1M disk-$table.raw
  if [ $table = dos ]; then
    printf 'label: dos\nstart=64, size=1024, type=c\n' | sfdisk -q disk-$table.raw >/dev/null 2>&1
  else
    printf 'label: gpt\nstart=64, size=1024\n' | sfdisk -q disk-$table.raw >/dev/null 2>&1
  fi
  dd if=fat.img of=disk-$table.raw bs=512 seek=64 conv=notrunc status=none 2>/dev/null
  cp disk-$table.raw "$out/volume_fuzz/$table"
  prefixed 0 disk-$table.raw "$out/detect_fuzz/raw-$table"
done

# Images of the MBR disk in each container format qemu-img writes; the selector is the index of
# the extension in detect_fuzz.cpp.
convert() {  # selector, qemu format, options...
  local sel=$1 fmt=$2
  shift 2
  qemu-img convert -q -f raw -O "$fmt" "$@" disk-dos.raw img.$fmt >/dev/null 2>&1 &&
    prefixed "$sel" img.$fmt "$out/detect_fuzz/$fmt$*" && rm -f img.$fmt
}
convert 1 vpc -o subformat=dynamic
convert 2 vhdx
convert 3 vmdk
convert 4 vdi
convert 5 parallels
convert 6 qcow

# VMDK: a descriptor text, a split descriptor over the driver's own extents, and an extent file.
qemu-img convert -q -f raw -O vmdk -o subformat=twoGbMaxExtentSparse disk-dos.raw split.vmdk >/dev/null 2>&1 &&
  prefixed 0 split.vmdk "$out/vmdk_fuzz/descriptor" && prefixed 2 split-s001.vmdk "$out/vmdk_fuzz/extent"
printf '\001version=1\nCID=1\nparentCID=ffffffff\ncreateType="twoGbMaxExtentSparse"\nRW 256 SPARSE "a.vmdk"\nRW 256 SPARSE "b.vmdk"\nddb.virtualHWVersion=4\nddb.adapterType=ide\n' \
  >"$out/vmdk_fuzz/split"

printf '\001NDI 0 8 1 8 512\n' >"$out/text_fuzz/ndi"
printf '\000disk.raw\n' >"$out/text_fuzz/split"
exit 0
