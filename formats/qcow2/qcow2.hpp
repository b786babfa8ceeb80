// QCOW2 (format 28): QEMU's copy-on-write images, versions 2 and 3, with a backing file of any
// format, internal snapshots and persistent bitmaps; trimmed in place of itself.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kQcow2Driver;

}  // namespace qx
