// The NTFS allocation reader: the cluster bitmap of the volume, found through the master file
// table's own data runs and held in memory for the queries of the used-sector map.
#pragma once

#include <cstdint>

#include "fs/reader.hpp"
#include "fs/unit_allocation.hpp"

namespace qx {

extern const FsReader kNtfsReader;

// The loaded allocation of a probed NTFS volume (one unit per cluster), or none when the state
// belongs to another reader. For inspection and tests.
const UnitAllocation* ntfs_allocation(const ReaderState& state) noexcept;

}  // namespace qx
