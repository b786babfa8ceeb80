#!/usr/bin/env bash
# Benchmark: quorvex against `qemu-img convert` to the same format, on the same image, beside the
# copy floor.
#
# The image: a 4 GiB virtual disk, MBR with one partition (file system $FS, default ext3) holding
# about 1 GiB of files and about 1 GiB of data of deleted files; the rest of the disk was never
# written. Each tool runs RUNS times (default 3, alternating); the script prints for each the
# median wall time, the peak resident memory (/usr/bin/time %M) and the size of the file it wrote.
# quorvex syncs its output before the swap, qemu-img does not: a row times qemu-img followed by
# `sync` of its output. The copy floor is `dd` of as many bytes of the source as quorvex wrote, to
# a new file, with conv=fsync: the least any copy of the kept data costs on this disk.
#
# Raw disks (FORMAT raw) and trims in place (--in-place) are timed differently: quorvex's copy mode
# against --in-place and against fstrim of the mounted partition through a loop device (where the
# machine allows one), each from the same dirty image, with the image's host bytes before and
# after and the peak extra host space that each took while it ran (df, sampled).
#
# Usage: bash bench/run.sh [FORMAT] [--in-place] [--cold] [--xfs] [work folder]
#   FORMAT: vhd (default), vdi, vhdx, vmdk, parallels, qcow2 or raw; the work folder defaults to bench/work
#   (needs about 9 GiB free there and writes 8 GiB once to warm the page cache up).
#   --cold: the page cache is dropped before every timed command (needs root and a writable
#   /proc/sys/vm/drop_caches; skipped with a message where not allowed).
#   --xfs: the runs take place on an XFS with reflink=1, loop-mounted from a sparse file in the
#   work folder (needs root and a loop device; skipped with a message where not allowed); the
#   free space of that file system before and after each quorvex run is printed too.
# QUORVEX=/path/to/quorvex times that binary instead of building this tree's.
# QUORVEX_BASELINE=/path/to/another/quorvex times that binary too (an older build, say), on the
# same image in the same sitting, alternating with this one run by run, and prints its median
# beside this one's: on a shared machine only alternation keeps the two comparable.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-3}
fs=${FS:-ext3}
format=vhd
cold=0
xfs=0
in_place=0
work=bench/work
for arg in "$@"; do
  case $arg in
    vhd | vdi | vhdx | vmdk | parallels | qcow2 | raw) format=$arg ;;
    --in-place) in_place=1 ;;
    --cold) cold=1 ;;
    --xfs) xfs=1 ;;
    *) work=$arg ;;
  esac
done
# qemu-img's name of the format, its creation options and the image's file extension.
case $format in
  vhd) qfmt=vpc; qopts=(-o subformat=dynamic); ext=vhd ;;
  vdi) qfmt=vdi; qopts=(); ext=vdi ;;
  vhdx) qfmt=vhdx; qopts=(); ext=vhdx ;;
  vmdk) qfmt=vmdk; qopts=(); ext=vmdk ;;
  parallels) qfmt=parallels; qopts=(); ext=hdd ;;
  qcow2) qfmt=qcow2; qopts=(); ext=qcow2 ;;
  raw) qfmt=raw; qopts=(); ext=img; in_place=1 ;;
esac
bash scripts/install-deps.sh
if [ -n "${QUORVEX:-}" ]; then
  quorvex=$(realpath "$QUORVEX")  # a binary built before, kept apart from the tree being edited
else
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-bench -j"$(nproc)" --target quorvex >/dev/null
  quorvex=$root/build-bench/quorvex
fi

mkdir -p "$work"
cd "$work"
workdir=$PWD
if mountpoint -q xfs 2>/dev/null; then umount xfs; fi
rm -rf ./*
if [ $cold = 1 ] && ! { [ "$(id -u)" -eq 0 ] && sync && echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then
  echo "== the page cache cannot be dropped here: --cold is skipped, every run starts warm"
  cold=0
fi
if [ $xfs = 1 ]; then
  if [ "$(id -u)" -eq 0 ] && truncate -s 16G xfs.img && mkfs.xfs -q -f -K -m reflink=1 xfs.img &&
    mkdir -p xfs && mount -o loop xfs.img xfs 2>/dev/null; then
    trap 'cd "$workdir" && umount xfs' EXIT
    cd xfs
    echo "== on a loop-mounted XFS with reflink=1"
  else
    echo "== no loop-mounted XFS here (needs root and a loop device): --xfs is skipped"
    rm -rf xfs xfs.img
    xfs=0
  fi
fi
echo "== host file system: $(findmnt -n -o FSTYPE --target . || stat -f -c %T .)"
MiB=$((1024 * 1024))
start=2048
sectors=$((4 * 1024 * 2048 - start))

echo "== Building the image (4 GiB disk, $fs, 1 GiB of files, 1 GiB of deleted files)"
truncate -s 4G disk.raw
printf 'label: dos\nstart=%d, size=%d, type=83\n' $start $sectors | sfdisk -q disk.raw
mkdir -p tree/keep tree/gone
for i in $(seq 1 16); do head -c $((64 * MiB)) /dev/urandom >tree/keep/f$i; done
for i in $(seq 1 16); do head -c $((64 * MiB)) /dev/urandom >tree/gone/g$i; done
truncate -s $((sectors * 512)) part.ext4
mke2fs -q -F -t "$fs" -d tree part.ext4
for i in $(seq 1 16); do echo "rm /gone/g$i"; done >rm.cmds
debugfs -w -f rm.cmds part.ext4 >/dev/null 2>&1
dd if=part.ext4 of=disk.raw bs=4M seek=$((start * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
rm -rf tree part.ext4 rm.cmds
qemu-img convert -f raw -O $qfmt "${qopts[@]}" disk.raw source.$ext
rm disk.raw
if [ "$format" = raw ]; then
  # What a raw disk in use looks like on its host: every byte written, the deleted files' data too.
  cp --sparse=never source.img dirty.img && mv dirty.img source.img
fi
echo "source image ($format): $(stat -c %s source.$ext) bytes"

host_bytes() { echo $(($(stat -c %b "$1") * $(stat -c %B "$1"))); }
# Host bytes of everything in the work folder (a loop mount inside it left out). The machine's
# df moves with whatever else runs on the same disk; this moves only with what the timed command
# writes here.
folder_bytes() { du -s -x -B1 . 2>/dev/null | cut -f1; }
# Runs the command while sampling the folder's host bytes and df; appends "seconds kib
# peak_extra_bytes peak_df_drop_bytes" to $label.inplace.
timed_space() {
  local label=$1
  shift
  local base peak=0 now df_base df_peak=0 df_now
  sync
  base=$(folder_bytes)
  df_base=$(df -B1 --output=avail . | tail -1 | tr -d ' ')
  drop_cache
  /usr/bin/time -f "%e %M" -o time.out "$@" >/dev/null 2>&1 &
  local pid=$!
  while kill -0 $pid 2>/dev/null; do
    now=$(folder_bytes)
    [ $((now - base)) -gt $peak ] && peak=$((now - base))
    df_now=$(df -B1 --output=avail . | tail -1 | tr -d ' ')
    [ $((df_base - df_now)) -gt $df_peak ] && df_peak=$((df_base - df_now))
    sleep 0.02
  done
  wait $pid || true
  echo "$(cat time.out) $peak $df_peak" >>"$label.inplace"
}

drop_cache() { if [ $cold = 1 ]; then sync && echo 3 >/proc/sys/vm/drop_caches; fi; }
free_kib() { df -k --output=avail . | tail -1 | tr -d ' '; }
timed() {  # label, then the command; appends "seconds kib" to $label.times
  local label=$1
  shift
  drop_cache
  /usr/bin/time -f "%e %M" -o time.out "$@" >/dev/null
  cat time.out >>"$label.times"
}

if [ $in_place = 1 ]; then
  loop_ok=0
  if [ "$format" = raw ] && [ "$(id -u)" -eq 0 ] && command -v fstrim >/dev/null &&
    dev=$(losetup -f --show -o $((start * 512)) source.img 2>/dev/null); then
    losetup -d "$dev"
    loop_ok=1
  fi
  [ $loop_ok = 1 ] || [ "$format" != raw ] || echo "== no loop device here (needs root): fstrim is not timed"
  for run in $(seq 1 "$runs"); do
    for mode in copy in-place fstrim; do
      [ $mode = fstrim ] && [ $loop_ok = 0 ] && continue
      rm -f disk.$ext disk.${ext}_DEL
      cp --sparse=never --reflink=never source.$ext disk.$ext
      sync
      before=$(host_bytes disk.$ext)
      case $mode in
        copy) timed_space copy "$quorvex" -s -d disk.$ext ;;
        in-place) timed_space in-place "$quorvex" -s --in-place disk.$ext ;;
        fstrim)
          # The partition through a loop device at its offset (no partition nodes needed).
          dev=$(losetup -f --show -o $((start * 512)) disk.$ext)
          mkdir -p mnt && mount "$dev" mnt
          timed_space fstrim fstrim mnt
          umount mnt && losetup -d "$dev" ;;
      esac
      sync
      echo "$before $(host_bytes disk.$ext)" >>"$mode.bytes"
      echo "run $run $mode: $(tail -1 "$mode.inplace" | cut -d' ' -f1) s, host bytes $before before," \
        "$(host_bytes disk.$ext) after, peak extra host space $(tail -1 "$mode.inplace" | cut -d' ' -f3) bytes" \
        "(df, shared with the rest of the machine: $(tail -1 "$mode.inplace" | cut -d' ' -f4) bytes)"
    done
  done
  median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
  echo
  printf '%-10s %16s %16s %18s %18s %20s %20s\n' mode "median wall (s)" "peak RSS (MiB)" "host bytes before" "host bytes after" "peak extra (bytes)" "peak df drop (bytes)"
  for mode in copy in-place fstrim; do
    [ -f "$mode.inplace" ] || continue
    printf '%-10s %16s %16s %18s %18s %20s %20s\n' "$mode" "$(cut -d' ' -f1 "$mode.inplace" | median)" \
      "$(($(cut -d' ' -f2 "$mode.inplace" | sort -n | tail -1) / 1024))" "$(cut -d' ' -f1 "$mode.bytes" | median)" \
      "$(cut -d' ' -f2 "$mode.bytes" | median)" "$(cut -d' ' -f3 "$mode.inplace" | sort -n | tail -1)" \
      "$(cut -d' ' -f4 "$mode.inplace" | sort -n | tail -1)"
  done
  echo "peak extra: the work folder's host bytes (du) above those before the run, sampled every 20 ms;" \
    "df drop: the same from df, which counts every other writer of this disk too"
  echo "source image ($format): $(stat -c %s source.$ext) bytes; $runs runs each; host file system $(stat -f -c %T .)"
  exit 0
fi

# In a fresh virtual machine the first use of a memory page costs far more than its reuse; touch
# enough memory once, and free each tool's previous output before it runs, so that no tool pays
# for it alone.
dd if=/dev/zero of=warmup bs=4M count=2048 status=none
rm -f warmup
sync
# Every run starts with the page cache holding the source and nothing left to write back.
baseline=${QUORVEX_BASELINE:-}
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "QUORVEX_BASELINE is not an executable: $baseline" >&2; exit 1; }
# Trims a fresh copy of the source with binary $2, timed as $1; leaves the result in $1.$ext.
trim_copy() {
  local label=$1 binary=$2 before
  rm -f "$label.$ext" disk.$ext disk.${ext}_DEL
  cp --sparse=always --reflink=never source.$ext disk.$ext
  sync
  before=$(free_kib)
  timed "$label" "$binary" -s disk.$ext
  # Taken with the old image still there as the backup: what the new file costs the host.
  sync
  echo "$(((before - $(free_kib)) * 1024))" >>"$label.space"
  rm -f disk.${ext}_DEL
  mv disk.$ext "$label.$ext"
}
for run in $(seq 1 "$runs"); do
  rm -f qemu.$ext floor
  if [ -n "$baseline" ] && [ $((run % 2)) = 0 ]; then
    trim_copy baseline "$baseline"
    trim_copy quorvex "$quorvex"
  else
    trim_copy quorvex "$quorvex"
    [ -z "$baseline" ] || trim_copy baseline "$baseline"
  fi
  kept=$(stat -c %s quorvex.$ext)
  timed floor dd if=source.$ext of=floor bs=4M count="$kept" iflag=count_bytes conv=fsync status=none
  rm -f floor
  sync
  timed qemu-img qemu-img convert -f $qfmt -O $qfmt "${qopts[@]}" source.$ext qemu.$ext
  rm -f qemu.$ext
  sync
  # quorvex puts its output on the disk (fsync) before the swap; qemu-img leaves it in the cache.
  timed qemu-img+sync sh -c "qemu-img convert -f $qfmt -O $qfmt ${qopts[*]} source.$ext qemu.$ext && sync qemu.$ext"
  [ -z "$baseline" ] || echo "run $run: baseline $(tail -1 baseline.times | cut -d' ' -f1) s," \
    "output $(stat -c %s baseline.$ext) bytes, host space $(tail -1 baseline.space) bytes"
  echo "run $run: quorvex $(tail -1 quorvex.times | cut -d' ' -f1) s," \
    "floor $(tail -1 floor.times | cut -d' ' -f1) s," \
    "qemu-img $(tail -1 qemu-img.times | cut -d' ' -f1) s," \
    "qemu-img+sync $(tail -1 qemu-img+sync.times | cut -d' ' -f1) s," \
    "host space taken by quorvex's output $(tail -1 quorvex.space) bytes"
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
echo
printf '%-14s %16s %16s %16s\n' tool "median wall (s)" "peak RSS (MiB)" "output (bytes)"
for tool in quorvex baseline floor qemu-img qemu-img+sync; do
  [ -f "$tool.times" ] || continue
  wall=$(cut -d' ' -f1 "$tool.times" | median)
  peak=$(cut -d' ' -f2 "$tool.times" | sort -n | tail -1)
  case $tool in
    quorvex | floor) out=$(stat -c %s quorvex.$ext) ;;
    baseline) out=$(stat -c %s baseline.$ext) ;;
    *) out=$(stat -c %s qemu.$ext) ;;
  esac
  printf '%-14s %16s %16s %16s\n' "$tool" "$wall" "$((peak / 1024))" "$out"
  eval "wall_${tool//[-+]/_}=$wall"
done
echo "quorvex / floor: $(awk "BEGIN {printf \"%.3f\", $wall_quorvex / $wall_floor}")," \
  "quorvex / (qemu-img+sync): $(awk "BEGIN {printf \"%.3f\", $wall_quorvex / $wall_qemu_img_sync}")"
[ -z "$baseline" ] || echo "baseline / floor: $(awk "BEGIN {printf \"%.3f\", $wall_baseline / $wall_floor}")," \
  "quorvex / baseline: $(awk "BEGIN {printf \"%.3f\", $wall_quorvex / $wall_baseline}") (alternating run by run)"
echo "host space taken by quorvex's output (median): $(median <quorvex.space) bytes"
[ -z "$baseline" ] || echo "host space taken by the baseline's output (median): $(median <baseline.space) bytes"
echo "source image ($format): $(stat -c %s source.$ext) bytes; $runs runs each;" \
  "cache $([ $cold = 1 ] && echo cold || echo warm); host file system $(stat -f -c %T .)"
