// The image layer's own building blocks, answering through the same dispatch as the formats.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kFlatDriver;
extern const FormatDriver kWindowDriver;

}  // namespace qx
