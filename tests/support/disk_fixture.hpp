// Partitioned raw disks made by the real tools (sfdisk/sgdisk, mkfs.vfat, mke2fs, mkntfs, mtools,
// debugfs, ntfscp), with files, the data of deleted files and dirty free space; and the file
// systems' own checkers to run over a disk afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct FsPartition {
  std::string fs;        // "vfat", "ext4", "ext2", "ntfs", "xfs", "btrfs"
  uint64_t start = 0;    // sectors
  uint64_t sectors = 0;
};

struct DiskFixture {
  std::string raw;       // path of the raw disk
  uint64_t bytes = 0;
  std::vector<FsPartition> partitions;
};

// True when every tool the fixtures need is installed.
bool have_disk_tools();

// 36 MiB, MBR: one FAT32 volume (just above the smallest FAT32) from sector 2048 to the end.
DiskFixture make_mbr_fat32(const std::string& dir);
// 96 MiB, MBR: FAT32 (48 MiB) and ext4 (42 MiB); the last 5 MiB lie outside both and are zero.
DiskFixture make_mbr_fat32_ext4(const std::string& dir);
// 96 MiB, GPT: NTFS (48 MiB) and ext2 (36 MiB); about 11 MiB before the backup table are zero.
DiskFixture make_gpt_ntfs_ext2(const std::string& dir);

// Dirty partition files of `sectors` sectors: FAT32 (its hidden sectors given) with files, a
// folder and two deleted files; ext2 or ext4 ("ext4" or "ext2") made from a folder of files, two
// deleted (ext4 with the older features the reader has always known, or mke2fs's defaults with
// `defaults`). They throw when a tool fails.
void make_fat32(const std::string& dir, const std::string& part, uint64_t sectors, uint64_t hidden);
void make_ext(const std::string& dir, const std::string& part, uint64_t sectors, const std::string& type,
              bool defaults = false);

// 420 MiB, GPT: XFS v5 (320 MiB, mkfs.xfs defaults, files from a prototype, every other one
// deleted) and ext4 with mke2fs's defaults (90 MiB); only the first 96 MiB of the XFS volume
// hold dirty free space, the rest of the disk is sparse.
DiskFixture make_gpt_xfs_ext4(const std::string& dir);
// 64 MiB, MBR: one LVM2 physical volume (partition type 8e) whose linear volume "lv0" of 40 MiB
// starts at its second extent and holds ext4 with mke2fs's defaults.
DiskFixture make_mbr_lvm_ext4(const std::string& dir);
// 40 MiB, MBR: one ext4 volume with mke2fs's defaults from sector 2048 to the end.
DiskFixture make_mbr_ext4(const std::string& dir);
// 32 MiB, no partition table: ext4 with mke2fs's defaults over the whole disk.
DiskFixture make_whole_ext4(const std::string& dir);
// About 100 MiB (an odd number of sectors, the space behind the partitions zero but for 4 KiB), MBR: FAT32 and ext4 as primary
// partitions, then NTFS and ext2 with 1 KiB blocks as logical ones, each 63 sectors behind its
// extended boot record (so that no logical partition starts on a 4 KiB boundary); 4 KiB of data
// behind the last partition start the disk's last whole 64 KiB, so that an extended-L2 QCOW2
// of the disk ends inside its last host cluster.
DiskFixture make_mbr_mixed_logical(const std::string& dir);
// True when the XFS tools that make_gpt_xfs_ext4 needs are installed.
bool have_xfs_disk_tools();

// Runs fsck.vfat -n, e2fsck -fn, xfs_repair -n, ntfsfix -n or btrfs check --readonly on each partition of the raw
// disk at `raw`; returns
// the output of every checker that failed, empty when all pass.
std::string check_file_systems(const DiskFixture& disk, const std::string& raw, const std::string& work_dir);

// Copies `length` bytes at `offset` of one file into another file at the same or another offset.
void copy_range(const std::string& from, uint64_t from_offset, const std::string& to, uint64_t to_offset,
                uint64_t length);

}  // namespace qx::test
