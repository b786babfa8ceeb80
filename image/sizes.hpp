// The sizes that several layers must agree on, each in one place.
#pragma once

#include <cstdint>

namespace qx {

// The disk's sector: the unit of maps, walks and the formats' tables.
inline constexpr uint32_t kSectorSize = 512;
// Host file systems find space, and share it, in blocks of this size.
inline constexpr uint64_t kHostBlock = 4096;
// Written output is handed to the disk in steps of this size while a run goes on, so that the
// page cache never fills with it and the final sync finds little left to do.
inline constexpr uint64_t kWritebackStep = 32u << 20;
// Runs of zeros, or of unused sectors, this long stay holes in an output.
inline constexpr uint64_t kHoleBytes = 1u << 20;

}  // namespace qx
