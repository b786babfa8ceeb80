// VDI (format 20): VirtualBox normal and fixed images, their reader and their trimming writer.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVdiDriver;

// Writes the trimmed copy "<path>_TEMP" and fills record.single; OK, CANCELLED or an error.
ErrorCode vdi_trim(std::string_view path, DiskImage& image, const SectorUse& map,
                   WriterRecord& record, ProgressCallback progress, void* user);

}  // namespace qx
