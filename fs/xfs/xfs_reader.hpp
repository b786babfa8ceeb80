// The XFS allocation reader: every block starts used and the free extents of each allocation
// group's by-block free-space B+tree are cleared, for version 4 and version 5 (checksummed)
// volumes whose log holds nothing left to replay.
#pragma once

#include "fs/reader.hpp"
#include "fs/unit_allocation.hpp"

namespace qx {

extern const FsReader kXfsReader;

// The loaded allocation of a probed XFS volume (one unit per file-system block, in linear order),
// or none when the state belongs to another reader. For inspection and tests.
const UnitAllocation* xfs_allocation(const ReaderState& state) noexcept;

}  // namespace qx
