// VDI (format 20): VirtualBox normal and fixed images, their reader and their trimming writer.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVdiDriver;

}  // namespace qx
