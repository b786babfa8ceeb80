#!/usr/bin/env bash
# Seed corpora made by the real tools: small volumes, disks and images, each prefixed with the
# selector byte its target reads first. Usage: make_seeds.sh OUTPUT_FOLDER
set -uo pipefail
out=$1
# Each target's folder is made by the section that seeds it.
mkdir -p "$out"/{detect_fuzz,volume_fuzz,fs_fuzz,text_fuzz}
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

# The read-only formats qemu-img writes; the selector is the index of the format in readonly_fuzz.cpp.
mkdir -p "$out/readonly_fuzz"
read_only_seed() {  # selector, name, qemu format, options...
  local sel=$1 name=$2 fmt=$3
  shift 3
  qemu-img convert -q -f raw -O "$fmt" "$@" disk-dos.raw ro.img >/dev/null 2>&1
  [ -s ro.img ] && prefixed "$sel" ro.img "$out/readonly_fuzz/$name"
  rm -f ro.img
}
read_only_seed 0 qcow qcow
read_only_seed 0 qcow-compressed qcow -c
read_only_seed 1 vhd-fixed vpc -o subformat=fixed,force_size=on
# No tool here writes the COWD disks or the strict VHD layouts: small ones made by hand.
python3 - "$out/readonly_fuzz" <<'PY'
import struct, sys
out = sys.argv[1]
def cowd(version, grain):
    f = bytearray(2048 + 512 + 2048)
    struct.pack_into('<7I', f, 0, 0x44574F43, version, 19, 8192, grain, 4, 1)
    struct.pack_into('<3I', f, 32, 4, 64, 32)
    f[1640:1644] = b'scsi'
    struct.pack_into('<6I', f, 1648, 0, 1, 4, 64, 32, 8192)
    struct.pack_into('<I', f, 1676, 0x3FF800)
    struct.pack_into('<I', f, 2048, 5)                      # table 0 at sector 5
    struct.pack_into('<I', f, 2560, len(f) // 512)          # grain 0 behind it
    return f + bytes(range(256)) * (grain * 2)
def footer(disk_type, size, chs):
    f = bytearray(511)
    f[0:8] = b'conectix'
    struct.pack_into('>IQ', f, 12, 0x00010000, ~0 & (2**64 - 1) if disk_type == 2 else 512)
    struct.pack_into('>QQHBBI', f, 40, size, size, chs[0], chs[1], chs[2], disk_type)
    return f
def strict():
    f = bytearray(2048)
    f[0:511] = footer(3, 1 << 20, (1, 16, 63))
    f[512:520] = b'cxsparse'
    struct.pack_into('>QQIIII', f, 520, 2**64 - 1, 1536, 0x00010000, 1, 0x200000, 0xFFFF)
    f[1536:1540] = b'\xff' * 4
    return f + f[0:511]
for sel, name, data in ((2, 'cowd3', cowd(3, 128)), (4, 'cowd1', cowd(1, 16)), (6, 'vhd-strict', strict()),
                        (7, 'vhd-headed', bytes(1 << 20) + footer(2, 1 << 20, (1, 16, 63)))):
    open(f'{out}/{name}', 'wb').write(bytes([sel]) + data)
PY
# The VDI target reads the file alone: a normal and a fixed image of the MBR disk.
mkdir -p "$out/vdi_fuzz"
qemu-img convert -q -f raw -O vdi disk-dos.raw "$out/vdi_fuzz/normal" >/dev/null 2>&1
qemu-img convert -q -f raw -O vdi -o static=on disk-dos.raw "$out/vdi_fuzz/fixed" >/dev/null 2>&1

# VMDK: a descriptor text, a split descriptor over the driver's own extents, and an extent file.
mkdir -p "$out/vmdk_fuzz"
qemu-img convert -q -f raw -O vmdk -o subformat=twoGbMaxExtentSparse disk-dos.raw split.vmdk >/dev/null 2>&1 &&
  prefixed 0 split.vmdk "$out/vmdk_fuzz/descriptor" && prefixed 2 split-s001.vmdk "$out/vmdk_fuzz/extent"
printf '\001version=1\nCID=1\nparentCID=ffffffff\ncreateType="twoGbMaxExtentSparse"\nRW 256 SPARSE "a.vmdk"\nRW 256 SPARSE "b.vmdk"\nddb.virtualHWVersion=4\nddb.adapterType=ide\n' \
  >"$out/vmdk_fuzz/split"

printf '\001NDI 0 8 1 8 512\n' >"$out/text_fuzz/ndi"
printf '\000disk.raw\n' >"$out/text_fuzz/split"
exit 0
