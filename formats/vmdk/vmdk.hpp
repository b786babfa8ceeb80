// VMDK (format 0): a descriptor naming sparse or flat extent files, optionally over a parent
// disk; its reader and the trim that rewrites every sparse extent file beside itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVmdkDriver;

// Writes "<extent>_TEMP" for every extent and fills record.list; OK, CANCELLED or an error.
ErrorCode trim_vmdk(std::string_view path, DiskImage& image, const SectorUse& map,
                    WriterRecord& record, ProgressCallback progress, void* user);

}  // namespace qx
