// Drivers that live outside the numbered table but answer through the same dispatch.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kFlatDriver;
extern const FormatDriver kWindowDriver;
extern const FormatDriver kSplitRawDriver;

// The driver of a negative id, or null.
const FormatDriver* special_driver(int32_t id) noexcept;

}  // namespace qx
