// Depth guard for drivers that open their parent through format detection.
#pragma once

#include <cstdint>

namespace qx {

// Opening a parent goes back through format detection, so a chain that names itself would never
// end. Once the depth limit is hit every open still in progress fails at once instead of
// retrying, so that the cost stays linear in the depth.
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

  // True when no further parent may be opened; marks the chain exhausted.
  static bool at_limit() noexcept {
    if (depth < kMaxDepth) return false;
    exhausted = true;
    return true;
  }
};

}  // namespace qx
