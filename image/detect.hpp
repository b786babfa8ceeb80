// Openers that format detection tries besides the rows of the driver table.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

// Text after the last '.' of the path's last component; empty when there is none.
std::string_view path_extension(std::string_view path) noexcept;

// Attempts of the probing order that are not rows of the driver table (the NVT file is FORMAT_NVT).
inline constexpr int32_t kAttemptNdi = -101;
inline constexpr int32_t kAttemptSplitRawText = -103;
inline constexpr int32_t kAttemptSplitRawPart = -104;
// The extension rule tries at most three formats; the probing order has 25 attempts.
inline constexpr size_t kMaxDetectionAttempts = 28;

// The attempts that detection makes for `path`, in order; returns how many were written.
size_t detection_order(std::string_view path, std::span<int32_t, kMaxDetectionAttempts> out) noexcept;

// One attempt: a complete open of `id` (a table row or one of the attempts above).
using DetectionAttempt = ErrorCode (*)(DiskImage& image, std::string_view path, bool read_only,
                                       int32_t id);
// open_image with the attempts made through `attempt`: the stop rules without the drivers.
ErrorCode detect_image(DiskImage& image, std::string_view path, bool read_only,
                       DetectionAttempt attempt);

// A raw disk described by a sibling ".ndi" file (id -1).
ErrorCode open_ndi_image(DiskImage& image, std::string_view path, bool read_only);
// The split raw image (id -3), through its description text or through one of its part files.
ErrorCode open_split_raw_description(DiskImage& image, std::string_view path, bool read_only);
ErrorCode open_split_raw_part(DiskImage& image, std::string_view path, bool read_only);
// The "NVT " differencing file (id -2).
ErrorCode open_nvt_image(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
