// Bochs growing and undoable redolog images (format 17): read only.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kBochsDriver;

}  // namespace qx
