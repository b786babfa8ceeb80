// A raw disk dump described by a sibling ".ndi" text file, read as a flat image.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

ErrorCode open_ndi_image(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
