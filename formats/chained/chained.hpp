// The chained block image (format 18): fixed-size blocks and a block table, over a parent of the
// same format named by the generation digit at the end of the file name. Read only.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kChainedDriver;

}  // namespace qx
