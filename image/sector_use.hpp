// The used-sector map as the image layer sees it: which sectors of the disk some file system still
// owns. Drivers ask it; the volume layer answers it.
#pragma once

#include <cstdint>
#include <span>

#include "image/error.hpp"

namespace qx {

class SectorUse {
 public:
  virtual ~SectorUse() = default;
  // Writes bit i (1 = used) of `bitmap` for sector first + i, for every i below count.
  virtual ErrorCode query(uint32_t first, uint32_t count, std::span<uint8_t> bitmap) const = 0;
};

inline ErrorCode query_used(const SectorUse& use, uint32_t first, uint32_t count,
                            std::span<uint8_t> bitmap) {
  return use.query(first, count, bitmap);
}

// True in `droppable` when every sector of the range is free or all zero; `data` holds the
// count sectors.
ErrorCode is_block_droppable(const SectorUse& use, uint32_t first, uint32_t count, bool& droppable,
                             std::span<const uint8_t> data);

}  // namespace qx
