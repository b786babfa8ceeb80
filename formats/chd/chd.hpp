// CHD hard-disk images, header versions 3 and 4 (format 21): read only.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kChdDriver;

}  // namespace qx
