// The Parallels bundle (format 16): a folder with "DiskDescriptor.xml" and one image file per
// storage, each storage a consecutive run of the disk's sectors. Its trim rewrites every storage's
// image into its own "_TEMP" file, one entry of the record's list per storage in disk order.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kParallelsBundleDriver;

inline constexpr std::string_view kBundleDescriptorName = "DiskDescriptor.xml";

}  // namespace qx
