// The "NVT " differencing file (id -2): changed 64 KiB chunks over a parent named inside it.
// Opened by format detection; read only.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kNvtDriver;

ErrorCode open_nvt_image(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
