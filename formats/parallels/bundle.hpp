// The Parallels bundle (format 16): a folder with "DiskDescriptor.xml" and one image file per
// storage, each storage a consecutive run of the disk's sectors.
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

// Trims every storage's image into its own "_TEMP" file and fills record.list, one entry per
// storage in disk order; OK, CANCELLED or an error. A storage whose trim fails leaves no
// "_TEMP" of its own behind; those of the storages before it stay in the list.
ErrorCode parallels_bundle_trim(std::string_view path, DiskImage& image, const SectorUse& map,
                                WriterRecord& record, ProgressCallback progress, void* user);

}  // namespace qx
