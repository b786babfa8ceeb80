// The reader of Linux swap areas (version 1 headers, pages of 4 to 64 KiB): the header page and
// anything behind the last page stay used, the pages between hold nothing once the system is
// down. An area that holds a hibernation image carries another signature and is not recognised.
#pragma once

#include "fs/reader.hpp"

namespace qx {

extern const FsReader kSwapReader;

}  // namespace qx
