#!/usr/bin/env bash
# Seed corpora made by the real tools: small volumes, disks and images, each prefixed with the
# selector byte its target reads first. Usage: make_seeds.sh OUTPUT_FOLDER
set -uo pipefail
out=$1
# Each target's folder is made by the section that seeds it.
mkdir -p "$out"/{detect_fuzz,volume_fuzz,fs_fuzz,text_fuzz,btrfs_fuzz,gpt_fuzz,luks_fuzz}
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
dirty ext4m.img $((1024 * 1024)) && mke2fs -q -F -t ext4 -b 1024 -O meta_bg,^resize_inode -E nodiscard ext4m.img >/dev/null 2>&1 &&
  prefixed 1 ext4m.img "$out/fs_fuzz/ext4-meta_bg"
dirty swap.img $((64 * 1024)) && mkswap -q -p 4096 swap.img >/dev/null 2>&1 && prefixed 8 swap.img "$out/fs_fuzz/swap"
dirty exfat.img $((1024 * 1024)) && mkfs.exfat exfat.img >/dev/null 2>&1 && prefixed 4 exfat.img "$out/fs_fuzz/exfat"

# Btrfs volumes of 64 MiB in the records btrfs_fuzz reads: the superblock and every tree block
# sealed, the other blocks as they are.
btrfs_records() {  # volume, output
  python3 - "$1" "$2" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
sb = d[65536:65536 + 4096]
node, fsid = struct.unpack_from('<I', sb, 0x94)[0], sb[0x20:0x30]
out = [struct.pack('<HH', 16, 1 | 0x8000) + sb]
unit = 1 << 20
while unit < len(d):
    if d[unit:unit + 0x30][0x20:] == fsid and unit % node == 0:
        out.append(struct.pack('<HH', unit // 4096, node // 4096 | 0x8000) + d[unit:unit + node])
        unit += node
        continue
    if d[unit:unit + 4096] != bytes(4096):
        out.append(struct.pack('<HH', unit // 4096, 1) + d[unit:unit + 4096])
    unit += 4096
open(sys.argv[2], 'wb').write(b''.join(out))
PY
}
mkdir -p btrfs-root/d && head -c 300000 /dev/urandom >btrfs-root/d/a && yes seed | head -c 200000 >btrfs-root/b
for opts in "-M" "-m single -d single" "-M -R ^free-space-tree"; do
  name=$(echo "$opts" | tr -d ' -')
  truncate -s 0 btrfs.img && truncate -s 64M btrfs.img &&
    mkfs.btrfs -q -K -f $opts -r btrfs-root btrfs.img >/dev/null 2>&1 &&
    btrfs_records btrfs.img "$out/btrfs_fuzz/$name"
done

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

# The GPT disk as gpt_fuzz reads it: its length in 4 KiB units, the length of the front part,
# the first 34 sectors (protective MBR, primary header and entries), the last 33 (the backup).
units=$(($(stat -c %s disk-gpt.raw) / 4096))
{ printf "\\$(printf '%03o' $((units & 255)))\\$(printf '%03o' $((units >> 8)))\\000\\104\\000\\000"
  head -c 17408 disk-gpt.raw; tail -c 16896 disk-gpt.raw; } >"$out/gpt_fuzz/gpt"

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

# The QCOW2 target reads the file alone: small clusters keep the tables of the MBR disk short.
mkdir -p "$out/qcow2_fuzz"
for opts in cluster_size=512 cluster_size=4096,compat=0.10 cluster_size=16k,extended_l2=on \
    cluster_size=4096,refcount_bits=1; do
  qemu-img convert -q -f raw -O qcow2 -o $opts disk-dos.raw "$out/qcow2_fuzz/$opts" >/dev/null 2>&1
done
qemu-img convert -q -c -f raw -O qcow2 -o cluster_size=4096,compression_type=zstd disk-dos.raw \
  "$out/qcow2_fuzz/zstd" >/dev/null 2>&1
qemu-img convert -q -f raw -O qcow2 -o cluster_size=4096 disk-dos.raw snap.qcow2 >/dev/null 2>&1 &&
  qemu-img snapshot -c one snap.qcow2 >/dev/null 2>&1 &&
  qemu-io -f qcow2 -c 'write -P 7 64k 8k' snap.qcow2 >/dev/null 2>&1 &&
  qemu-img bitmap --add snap.qcow2 b >/dev/null 2>&1 && cp snap.qcow2 "$out/qcow2_fuzz/snapshot-bitmap"

# The VHDX target reads patches over zeros: each run of non-zero sectors of qemu-img's images
# becomes a record (offset and length in little-endian, then the bytes).
mkdir -p "$out/vhdx_fuzz"
vhdx_patches() {  # input file, output file
  python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
out = bytearray()
s, n = 0, len(data) // 512
while s < n and s < 0xFFFF:
    if not any(data[s * 512:(s + 1) * 512]):
        s += 1
        continue
    e = s
    while e < n and e - s < 127 and any(data[e * 512:(e + 1) * 512]):
        e += 1
    out += struct.pack('<HH', s, (e - s) * 512) + data[s * 512:e * 512]
    s = e
open(sys.argv[2], 'wb').write(out)
PY
}
for opts in block_size=1M block_size=8M,log_size=2M; do
  qemu-img convert -q -f raw -O vhdx -o $opts disk-dos.raw img.vhdx >/dev/null 2>&1 &&
    vhdx_patches img.vhdx "$out/vhdx_fuzz/$opts" && rm -f img.vhdx
done

# A bundle of the MBR disk: its descriptor, and the descriptor's length before it.
mkdir -p "$out/xml_fuzz" "$out/bundle_fuzz"
cat >desc.xml <<'XML'
<?xml version='1.0' encoding='UTF-8'?>
<Parallels_disk_image Version="1.0">
 <Disk_Parameters><Disk_size>2048</Disk_size><Heads>16</Heads><Sectors>32</Sectors><Padding>0</Padding></Disk_Parameters>
 <StorageData><Storage><Start>0</Start><End>2048</End>
  <Image><GUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</GUID><Type>Compressed</Type><File>a.hds</File></Image>
 </Storage></StorageData>
 <Snapshots><!-- one --><Shot><GUID>{5fbaabe3-6958-40ff-92a7-860e329aab41}</GUID>
  <ParentGUID>{00000000-0000-0000-0000-000000000000}</ParentGUID></Shot></Snapshots>
</Parallels_disk_image>
XML
cp desc.xml "$out/xml_fuzz/descriptor"
n=$(stat -c %s desc.xml)
qemu-img convert -q -f raw -O parallels -o cluster_size=64k disk-dos.raw a.hds >/dev/null 2>&1 &&
  { printf "\\$(printf '%03o' $((n % 256)))\\$(printf '%03o' $((n / 256)))"; cat desc.xml a.hds; } \
    >"$out/bundle_fuzz/bundle"
# VMDK: a descriptor text, a split descriptor over the driver's own extents, and an extent file.
mkdir -p "$out/vmdk_fuzz"
qemu-img convert -q -f raw -O vmdk -o subformat=twoGbMaxExtentSparse disk-dos.raw split.vmdk >/dev/null 2>&1 &&
  prefixed 0 split.vmdk "$out/vmdk_fuzz/descriptor" && prefixed 2 split-s001.vmdk "$out/vmdk_fuzz/extent"
printf '\001version=1\nCID=1\nparentCID=ffffffff\ncreateType="twoGbMaxExtentSparse"\nRW 256 SPARSE "a.vmdk"\nRW 256 SPARSE "b.vmdk"\nddb.virtualHWVersion=4\nddb.adapterType=ide\n' \
  >"$out/vmdk_fuzz/split"

printf '\001NDI 0 8 1 8 512\n' >"$out/text_fuzz/ndi"
printf '\000disk.raw\n' >"$out/text_fuzz/split"
mkdir -p "$out/swap_journal_fuzz"
printf 'quorvex swap\nsuffix 4:_DEL\n111 12:/x/a-s1.vmdk\n101 12:/x/a-s2.vmdk\nend\n' >"$out/swap_journal_fuzz/forward"
printf 'quorvex swap\nsuffix 4:_DEL\n111 12:/x/a-s1.vmdk\n011 12:/x/a-s2.vmdk\nend\nback 34\n' >"$out/swap_journal_fuzz/back"
# As the tool writes them: plain names of the image's folder, and a planted one that climbs out.
printf 'quorvex swap\nsuffix 4:_DEL\n111 9:a-s1.vmdk\n101 9:a-s2.vmdk\n111 9:a-s3.vmdk\nend\n' >"$out/swap_journal_fuzz/plain"
printf 'quorvex swap\nsuffix 4:_DEL\n011 9:a-s1.vmdk\n010 11:../x/b.odt\n011 11:C:\\me\\c.odt\nend\n' >"$out/swap_journal_fuzz/planted"
# The read-only emulator formats, which no tool here writes, from their published layouts; the
# selector is the index of the driver in emulator_fuzz.cpp.
mkdir -p "$out/emulator_fuzz"
python3 - "$out/emulator_fuzz" <<'PY' || true
import struct, sys, zlib
out = sys.argv[1]
def seed(sel, name, data):
    open(f"{out}/{name}", "wb").write(bytes([sel]) + data)
disk = bytes((i * 7 + i // 512) & 0xFF if (i // 4096) % 3 else 0 for i in range(8 * 4096))
# Bochs: 4 KiB extents, the zero ones unallocated.
head = bytearray(512)
head[0:23] = b"Bochs Virtual HD Image\0"; head[32:40] = b"Redolog\0"; head[48:56] = b"Growing\0"
struct.pack_into("<IIIIIQ", head, 64, 0x10000, 512, 8, 512, 4096, len(disk))
cat, body, n = b"", b"", 0
for e in range(8):
    ext = disk[e * 4096:(e + 1) * 4096]
    if not any(ext): cat += struct.pack("<I", 0xFFFFFFFF); continue
    cat += struct.pack("<I", n); n += 1
    body += b"\xff" + bytes(511) + ext
seed(0, "bochs", bytes(head) + cat + body)
# Chained block image: every other block held.
head = struct.pack("<IIII", 0x02468ACE, 1, 4096, 8) + bytes(240)
table = b"".join(struct.pack("<I", b // 2 if b % 2 == 0 else 0xFFFFFFFF) for b in range(8))
chained = head + table
chained += bytes(4096 - len(chained)) + b"".join(disk[b * 4096:(b + 1) * 4096] for b in range(0, 8, 2))
seed(1, "chained", chained)
# CHD v3 and v4: pattern, plain, compressed and copied hunks.
for version, length, hunk_at in ((3, 120, 76), (4, 108, 44)):
    head = bytearray(length)
    head[0:8] = b"MComprHD"
    struct.pack_into(">IIIII", head, 8, length, version, 0, 1, 8)
    struct.pack_into(">Q", head, 28, len(disk))
    struct.pack_into(">I", head, hunk_at, 4096)
    entries, data = b"", b""
    base = length + 8 * 16
    for h in range(8):
        hunk = disk[h * 4096:(h + 1) * 4096]
        if h == 7: entries += struct.pack(">QIHBB", 1, 0, 0, 0, 4); continue
        if not any(hunk): entries += struct.pack(">QIHBB", 0, 0, 0, 0, 3); continue
        c = zlib.compressobj(1, zlib.DEFLATED, -15); packed = c.compress(hunk) + c.flush()
        kind, stored = (1, packed) if h % 2 else (2, hunk)
        entries += struct.pack(">QIHBB", base + len(data), 0, len(stored) & 0xFFFF, len(stored) >> 16, kind)
        data += stored
    seed(2, f"chd{version}", bytes(head) + entries + data)
# Headed flat images over the same disk (format 22 needs more than 4 MB and has its header only).
hdi = bytearray(32); struct.pack_into("<IIIIII", hdi, 8, 4096, 8 * 4096, 512, 8, 8, 1)
seed(3, "hdi", bytes(hdi))
seed(4, "thd", struct.pack("<I", 1) + bytes(252) + bytes(67584))
nhd = bytearray(512); nhd[0:15] = b"T98HDDIMAGE.R0\0"; struct.pack_into("<IIHHH", nhd, 272, 512, 8, 1, 8, 512)
seed(5, "nhd", bytes(nhd) + disk)
hdd = bytearray(220); hdd[0:8] = b"VHD1.00\0"; struct.pack_into("<HBBH", hdd, 142, 512, 8, 1, 8)
seed(6, "hdd", bytes(hdd) + disk)
seed(7, "h0", disk * 32)
# NVT over the flat parent the target writes beside it, with one stored chunk.
nvt = bytearray(2048)
struct.pack_into("<IIIIIIIIIII", nvt, 0, 0x2054564E, 0, 1, 0, 0, 0, 2048, 0, 16, 63, 512)
nvt[512:522] = b"parent.raw"
struct.pack_into("<I", nvt, 1024, 4)
tables = bytearray(2048); struct.pack_into("<I", tables, 0, 6); struct.pack_into("<I", tables, 1024 + 4, 8)
seed(8, "nvt", bytes(nvt) + bytes(tables) + bytes(range(256)) * 256)
PY

# LUKS volumes with small header areas (key derivation cut short), each seeding both the header
# path (selector bit 0) and the payload view at its real offset over an ext2 payload.
if command -v cryptsetup >/dev/null; then
  printf 'seed' >luks.key
  luks_seed() {  # name, size, payload offset in sectors, luksFormat options
    truncate -s 0 luks.img && truncate -s "$2" luks.img
    cryptsetup luksFormat -q --key-file luks.key --pbkdf pbkdf2 --pbkdf-force-iterations 1000 $4 luks.img \
      >/dev/null 2>&1 || return 0
    mke2fs -q -F -t ext2 -b 1024 -E offset=$(($3 * 512)) luks.img 256 >/dev/null 2>&1
    { printf '\001\000\000\000\000\000\000\000'; cat luks.img; } >"$out/luks_fuzz/$1-header"
    { printf "\\000\\$(printf '%03o' $(($3 % 256)))\\$(printf '%03o' $(($3 / 256)))\\000\\000\\000\\000\\000"
      cat luks.img; } >"$out/luks_fuzz/$1-payload"
  }
  luks_seed luks2 1600K 320 "--type luks2 --luks2-metadata-size 16k --luks2-keyslots-size 128k --key-size 256"
  luks_seed luks2-4k 1664K 320 "--type luks2 --luks2-metadata-size 16k --luks2-keyslots-size 128k --key-size 256 --sector-size 4096"
  luks_seed luks1 1408K 2112 "--type luks1 --key-size 256 --align-payload 2112"
fi
exit 0
