// The Parallels bundle (format 16): a folder with "DiskDescriptor.xml" and one image file per
// storage, each storage a consecutive run of the disk's sectors. Its trim rewrites every storage's
// image into its own "_TEMP" file, one entry of the record's list per storage in disk order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kParallelsBundleDriver;

inline constexpr std::string_view kBundleDescriptorName = "DiskDescriptor.xml";

// The paths of the storages' images that an open of the bundle (its folder or its descriptor)
// would read, from the descriptor alone; ERR_BAD_FORMAT when it is no bundle this driver opens.
ErrorCode parallels_bundle_files(std::string_view path, std::vector<std::string>& out);

}  // namespace qx
