// Raw disk image (format 29): a file that is the disk itself, sector for sector, known by its name
// (".img", ".raw", ".bin") and by a layout the tool reads in its first sectors. Its trim leaves a
// hole wherever whole host blocks are free: in a new file of the same length (the rest copied,
// shared where the host can), or in the image itself (a host that cannot punch holes refuses
// with the image untouched).
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kRawDriver;

}  // namespace qx
