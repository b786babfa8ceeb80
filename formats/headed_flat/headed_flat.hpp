// Formats 22 to 27: plain sector dumps behind a small geometry header (or recognised by their
// length alone), read through the flat image driver once recognised.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kHdiDriver;       // 22: 4096-byte header
extern const FormatDriver kThdDriver;       // 23: cylinder count, 256-byte sectors
extern const FormatDriver kNhdDriver;       // 24: "T98HDDIMAGE.R0"
extern const FormatDriver kHddDriver;       // 25: "VHD1.00"
extern const FormatDriver kFixed69mDriver;  // 26: exactly 69,206,016 bytes
extern const FormatDriver kH0Driver;        // 27: a whole number of MiB

}  // namespace qx
