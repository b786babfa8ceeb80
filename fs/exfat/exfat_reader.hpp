// Allocation reader of exFAT volumes (volume kind 4).
#pragma once

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kExfatReader;

}  // namespace qx
