#!/usr/bin/env bash
# Benchmark: quorvex against `qemu-img convert` to the same format, on the same image.
#
# The image: a 4 GiB virtual disk, MBR with one partition (file system $FS, default ext3) holding
# about 1 GiB of files and about 1 GiB of data of deleted files; the rest of the disk was never
# written. Each tool runs
# RUNS times (default 3, alternating); the script prints for each the median wall time, the peak
# resident memory (/usr/bin/time %M) and the size of the file it wrote. quorvex syncs its output
# before the swap, qemu-img does not: a third row times qemu-img followed by `sync` of its output.
#
# Usage: bash bench/run.sh [FORMAT] [work folder]
#   FORMAT: vhd (default), vdi, vhdx, vmdk or parallels; the work folder defaults to bench/work
#   (needs about 9 GiB free there and writes 8 GiB once to warm the page cache up)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-3}
fs=${FS:-ext3}
format=vhd
case "${1:-}" in
  vhd | vdi | vhdx | vmdk | parallels) format=$1; shift ;;
esac
work=${1:-bench/work}
# qemu-img's name of the format, its creation options and the image's file extension.
case $format in
  vhd) qfmt=vpc; qopts=(-o subformat=dynamic); ext=vhd ;;
  vdi) qfmt=vdi; qopts=(); ext=vdi ;;
  vhdx) qfmt=vhdx; qopts=(); ext=vhdx ;;
  vmdk) qfmt=vmdk; qopts=(); ext=vmdk ;;
  parallels) qfmt=parallels; qopts=(); ext=hdd ;;
esac
bash scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target quorvex >/dev/null
quorvex=$root/build-bench/quorvex

mkdir -p "$work"
cd "$work"
rm -rf ./*
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
echo "source image ($format): $(stat -c %s source.$ext) bytes"

timed() {  # label, then the command; appends "seconds kib" to $label.times
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o time.out "$@" >/dev/null
  cat time.out >>"$label.times"
}

# In a fresh virtual machine the first use of a memory page costs far more than its reuse; touch
# enough memory once, and free each tool's previous output before it runs, so that no tool pays
# for it alone.
dd if=/dev/zero of=warmup bs=4M count=2048 status=none
rm -f warmup
sync
# Every run starts with the page cache holding the source and nothing left to write back.
for run in $(seq 1 "$runs"); do
  rm -f quorvex.$ext qemu.$ext disk.$ext disk.${ext}_DEL
  cp --sparse=always source.$ext disk.$ext
  sync
  timed quorvex "$quorvex" -s disk.$ext
  mv disk.$ext quorvex.$ext
  rm -f disk.${ext}_DEL
  sync
  timed qemu-img qemu-img convert -f $qfmt -O $qfmt "${qopts[@]}" source.$ext qemu.$ext
  rm -f qemu.$ext
  sync
  # quorvex puts its output on the disk (fsync) before the swap; qemu-img leaves it in the cache.
  timed qemu-img+sync sh -c "qemu-img convert -f $qfmt -O $qfmt ${qopts[*]} source.$ext qemu.$ext && sync qemu.$ext"
  echo "run $run: quorvex $(tail -1 quorvex.times | cut -d' ' -f1) s," \
    "qemu-img $(tail -1 qemu-img.times | cut -d' ' -f1) s," \
    "qemu-img+sync $(tail -1 qemu-img+sync.times | cut -d' ' -f1) s"
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
echo
printf '%-14s %16s %16s %16s\n' tool "median wall (s)" "peak RSS (MiB)" "output (bytes)"
for tool in quorvex qemu-img qemu-img+sync; do
  wall=$(cut -d' ' -f1 "$tool.times" | median)
  peak=$(cut -d' ' -f2 "$tool.times" | sort -n | tail -1)
  out=$([ "$tool" = quorvex ] && stat -c %s quorvex.$ext || stat -c %s qemu.$ext)
  printf '%-14s %16s %16s %16s\n' "$tool" "$wall" "$((peak / 1024))" "$out"
done
echo "source image ($format): $(stat -c %s source.$ext) bytes; $runs runs each"
