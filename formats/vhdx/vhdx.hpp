// VHDX (format 9): dynamic and differencing Hyper-V images with their parent chains, their reader
// and their trimming writer.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVhdxDriver;

}  // namespace qx
