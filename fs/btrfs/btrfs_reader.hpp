// The Btrfs allocation reader: the device ranges that the chunk tree maps to the extents and tree
// blocks of the extent tree are used, the rest of the device free, for single-device volumes of
// the single and DUP profiles whose metadata checks out and whose log holds nothing to replay.
#pragma once

#include <cstdint>
#include <vector>

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kBtrfsReader;

// A stretch of bytes of the volume, from its first byte.
struct ByteRange {
  uint64_t first = 0;
  uint64_t length = 0;
};

// The used ranges of a probed Btrfs volume, sorted and merged, or null when the state belongs to
// another reader. For inspection and tests.
const std::vector<ByteRange>* btrfs_used_ranges(const ReaderState& state) noexcept;

}  // namespace qx
