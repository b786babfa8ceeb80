// The allocation reader of ext2, ext3 and ext4 volumes in the classic layout: 32-byte group
// descriptors and one initialised block bitmap per group.
#pragma once

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kExtReader;

}  // namespace qx
