// The "NVT " differencing file (id -2): changed 64 KiB chunks over a parent named inside it.
// Opened by format detection through open_nvt_image (image/detect.hpp); read only.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kNvtDriver;

}  // namespace qx
