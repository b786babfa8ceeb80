// Byte-flip campaigns against an allocation reader: damage one byte of a volume file at a time,
// probe again, and check that whatever is still accepted never frees a sector the undamaged
// volume keeps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qx::test {

struct ByteRegion {
  uint64_t offset;
  uint64_t length;
};

struct FlipStats {
  int flips = 0;         // damaged volumes probed
  int accepted = 0;      // of which the reader still recognised
  std::string failure;   // empty, or the first flip that freed a used sector
};

// What one damaged file came to: whether its consumer still accepted it, and a note when it
// handled it unsoundly (empty when sound).
struct FlipVerdict {
  bool accepted = false;
  std::string failure;
};
using FlipCheck = std::function<FlipVerdict()>;

// Deterministic for a given seed. The file is patched in place and restored after every flip; the
// check runs over each damaged file, and the campaign stops at its first failure.
FlipStats run_flip_campaign(const std::string& path, const std::vector<ByteRegion>& regions,
                            int iterations, uint32_t seed, const FlipCheck& check);
// The campaign against the allocation reader of `kind`: no flip may free a sector that the
// undamaged volume keeps.
FlipStats run_flip_campaign(const std::string& path, int32_t kind,
                            const std::vector<ByteRegion>& regions, int iterations, uint32_t seed);

}  // namespace qx::test
