// Allocation reader of FAT12, FAT16 and FAT32 volumes (volume kind 2).
#pragma once

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kFatReader;

}  // namespace qx
