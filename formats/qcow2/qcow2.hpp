// QCOW2 (format 28): QEMU's copy-on-write images, versions 2 and 3, with a backing file of any
// format, internal snapshots and persistent bitmaps; trimmed in place of itself.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kQcow2Driver;

// Drops the clusters whose guest sectors are all free inside the live file (formats/qcow2/
// qcow2_in_place.cpp); images it cannot keep consistent that way are ERR_UNSUPPORTED with a
// refusal note, nothing changed.
ErrorCode qcow2_trim_in_place(std::string_view path, DiskImage& image, const SectorUse& map,
                              ProgressCallback progress, void* user);

}  // namespace qx
