// The split raw image (FORMAT_SPLIT_RAW): a disk cut into numbered part files, found through its
// description text or through one of its parts.
#pragma once

#include <string_view>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kSplitRawDriver;

ErrorCode open_split_raw_description(DiskImage& image, std::string_view path, bool read_only);
ErrorCode open_split_raw_part(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
