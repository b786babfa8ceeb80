// The allocation reader of ext2, ext3 and ext4 volumes: classic 32-byte or 64-bit group
// descriptors, with or without metadata checksums, flexible and meta groups, and groups whose
// block bitmap was never written.
#pragma once

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kExtReader;

}  // namespace qx
