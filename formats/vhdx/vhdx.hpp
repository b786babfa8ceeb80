// VHDX (format 9): dynamic and differencing Hyper-V images with their parent chains, their reader
// and their trimming writer.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVhdxDriver;

// Writes the trimmed copy "<path>_TEMP" and fills record.single; OK, CANCELLED or an error.
ErrorCode vhdx_trim(std::string_view path, DiskImage& image, const SectorUse& map,
                    WriterRecord& record, ProgressCallback progress, void* user);

}  // namespace qx
