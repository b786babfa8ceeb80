// The allocation reader of HFS+ and HFSX volumes (kind 6).
#pragma once

#include <cstdint>
#include <vector>

#include "fs/reader.hpp"
#include "fs/unit_allocation.hpp"

namespace qx {

// One run of a fork: `block_count` blocks from `start_block`, holding the fork's blocks from
// `logical_start` on.
struct HfsForkExtent {
  uint32_t start_block = 0;
  uint32_t block_count = 0;
  uint32_t logical_start = 0;
};

// One allocation unit per allocation block; blocks the allocation file does not reach stay used.
struct HfsPlusState final : AllocationState {
  uint32_t block_size = 0;
  uint32_t total_blocks = 0;
  bool hfsx = false;
  std::vector<HfsForkExtent> allocation_extents;
};

extern const FsReader kHfsPlusReader;

}  // namespace qx
