// Placeholder: until partition tables are read, the whole disk is one partition of type 0.
#include "volume/partitions.hpp"

#include <algorithm>

namespace qx {

ErrorCode enumerate_partitions(DiskImage& image, uint32_t base, uint32_t max, uint32_t& count,
                               std::span<PartitionEntry> entries) {
  count = 0;
  if (max == 0) return OK;
  const uint32_t total = get_geometry(image).total_sectors;
  if (base >= total) return ERR_LAYOUT;
  if (!entries.empty()) {
    entries[0] = PartitionEntry{};
    entries[0].start_sector = base;
    entries[0].sector_count = total - base;
  }
  count = 1;
  return OK;
}

void sort_partitions(std::span<PartitionEntry> entries) noexcept {
  std::sort(entries.begin(), entries.end(), [](const PartitionEntry& a, const PartitionEntry& b) {
    return a.start_sector.get() < b.start_sector.get();
  });
}

}  // namespace qx
