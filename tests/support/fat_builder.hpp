// Builds FAT12/16/32 volumes with exact geometry (cluster counts at the type boundaries, odd
// sector sizes, trailing sectors) as sparse files: boot sector and empty tables, nothing else.
#pragma once

#include <cstdint>
#include <string>

namespace qx::test {

struct FatSpec {
  uint32_t bytes_per_sector = 512;
  uint32_t sectors_per_cluster = 1;
  uint32_t reserved_sectors = 1;
  uint32_t fat_count = 2;
  uint32_t root_entries = 512;     // 0 for a FAT32 layout
  uint64_t cluster_count = 1000;
  uint32_t trailing_sectors = 0;   // file-system sectors behind the last whole cluster
  uint32_t extra_volume_bytes = 0; // file bytes behind the file system's total
  uint8_t media = 0xF8;
  // Entry width of the table and the boot-sector layout (32: the sectors-per-FAT 16 field is 0);
  // 0 picks what the cluster count implies.
  int fat_bits = 0;
  uint32_t sectors_per_fat = 0;    // 0: just enough for the clusters
};

struct FatVolume {
  FatSpec spec;
  std::string path;
  int fat_bits = 0;
  uint64_t total_sectors = 0;      // file-system sectors
  uint64_t fat_offset = 0;         // bytes
  uint64_t fat_bytes = 0;          // one copy
  uint64_t data_offset = 0;        // bytes
  uint32_t cluster_bytes = 0;

  // Writes the entry of cluster number n into every copy, or into copy `copy` only.
  void set_entry(uint64_t n, uint32_t value, int copy = -1) const;
  // First and one-past-last 512-byte sector of cluster number n.
  uint64_t cluster_first_sector(uint64_t n) const { return (data_offset + (n - 2) * cluster_bytes) / 512; }
  uint64_t cluster_end_sector(uint64_t n) const { return cluster_first_sector(n) + cluster_bytes / 512; }
  uint64_t data_first_sector() const { return data_offset / 512; }
  uint64_t data_end_sector() const { return cluster_first_sector(spec.cluster_count + 2); }
};

FatVolume build_fat_volume(const std::string& path, const FatSpec& spec);

}  // namespace qx::test
