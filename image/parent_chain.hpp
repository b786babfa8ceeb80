// Depth guard for drivers that open a parent (or backing file) through format detection.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

// A chain that names itself would never end. Once the depth limit is hit every open still in
// progress fails at once instead of retrying the other formats, so that the cost stays linear in
// the depth. One counter for every format, so that a cycle through several formats ends too.
struct ParentChain {
  static constexpr uint32_t kMaxDepth = 64;
  static inline uint32_t depth = 0;
  static inline bool exhausted = false;
  ParentChain() noexcept { ++depth; }
  ~ParentChain() {
    if (--depth == 0) exhausted = false;
  }
  ParentChain(const ParentChain&) = delete;
  ParentChain& operator=(const ParentChain&) = delete;

  // False (and the chain marked exhausted) when one more level may not be opened.
  static bool may_descend() noexcept {
    if (exhausted) return false;
    if (depth >= kMaxDepth) exhausted = true;
    return !exhausted;
  }
};

// Opens a child's parent one level down the guarded chain, through format detection or as format
// `id`, and presents it with the child's total sector count: a parent of another size still serves
// the child's whole disk, reading as zeros beyond its own end.
ErrorCode open_sized_parent(DiskImage& out, std::string_view path, uint32_t total_sectors,
                            int32_t id = FORMAT_NONE);

}  // namespace qx
