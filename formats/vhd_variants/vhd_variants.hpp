// Read-only VHD variants: the fixed VHD (11), the strict 2 MiB-block dynamic (12) and
// differencing (14) layouts, and the fixed image with a 4096-byte head and a 511-byte footer (13).
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVhdFixedDriver;
extern const FormatDriver kVhdStrictDriver;
extern const FormatDriver kVhdHeadedDriver;
extern const FormatDriver kVhdStrictDiffDriver;

}  // namespace qx
