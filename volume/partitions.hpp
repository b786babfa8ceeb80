// Partition tables: MBR with its chain of extended boot records, GPT behind a protective MBR, and
// the logical volumes of LVM2 physical volumes, flattened into one list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fs/reader.hpp"
#include "image/byte_order.hpp"
#include "image/disk_image.hpp"

namespace qx {

// Laid out like an MBR partition entry; start and count are absolute sectors.
struct PartitionEntry {
  uint8_t boot_indicator = 0;
  uint8_t first_chs[3] = {};
  uint8_t type = 0;
  uint8_t last_chs[3] = {};
  le32_t start_sector{};
  le32_t sector_count{};
};
static_assert(sizeof(PartitionEntry) == 16);

// What the tables said beside their partitions: a note on how they were read (the backup GPT in
// place of a damaged primary), or, with `keep_whole`, why none of them can be trusted.
struct TableFindings {
  KeptWholeReason note;
  bool keep_whole = false;  // no entries then: the disk is one volume kept whole
};

// What a table says of an entry besides where it lies: the number the system gives the partition
// (1 on; 0 for a logical volume or a disk without a table) and the kind that the entry's type
// alone names (a Windows dynamic disk's or Storage Spaces' partition), else -1.
struct PartitionOrigin {
  uint32_t number = 0;
  int32_t named_kind = -1;
};

// The partitions found from sector `base` on, at most `max`, in table order; `origins`, when
// given, gets one origin per entry.
ErrorCode enumerate_partitions(DiskImage& image, uint32_t base, uint32_t max,
                               std::vector<PartitionEntry>& entries, TableFindings* findings = nullptr,
                               std::vector<PartitionOrigin>* origins = nullptr);

// True when the disk's first sector holds a table that a partitioning tool could have written
// (valid MBR entries, or a protective entry before a GPT header) and the tables behind it read.
bool holds_partition_table(DiskImage& image);

void sort_partitions(std::span<PartitionEntry> entries) noexcept;

}  // namespace qx
