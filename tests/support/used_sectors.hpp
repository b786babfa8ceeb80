// The map of an image as the command line builds it, and comparisons of disks on its used
// sectors: what end-to-end trims must keep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume/sector_bitmap.hpp"

namespace qx::test {

struct UsedSectors {
  uint32_t total = 0;
  uint32_t recognised = 0;
  size_t volumes = 0;  // partitions and file systems, gaps left out
  std::vector<uint8_t> bits;
  bool used(uint64_t s) const { return test_bit(bits, s); }
};

// Opens the image through format detection and queries every sector of its map.
UsedSectors used_sectors(const std::string& path);

// First used sector whose content differs between two raw disks, or -1.
int64_t first_used_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                              const UsedSectors& used);

}  // namespace qx::test
