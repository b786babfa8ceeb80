// Openers that format detection tries besides the rows of the driver table.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

// Text after the last '.' of the path's last component; empty when there is none.
std::string_view path_extension(std::string_view path) noexcept;

// A raw disk described by a sibling ".ndi" file (id -1).
ErrorCode open_ndi_image(DiskImage& image, std::string_view path, bool read_only);
// The split raw image (id -3), through its description text or through one of its part files.
ErrorCode open_split_raw_description(DiskImage& image, std::string_view path, bool read_only);
ErrorCode open_split_raw_part(DiskImage& image, std::string_view path, bool read_only);
// The "NVT " differencing file (id -2).
ErrorCode open_nvt_image(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
